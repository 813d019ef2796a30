#include "poll_client.h"

#include <gtest/gtest.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

struct reply_case {
	std::string reply;   // datagram text, without the zero byte
	std::string expected;   // stdout: the detection line or nothing
};

// Receives reply as the cycle does: one datagram, through receive_reply, into
// the 100-byte buffer that the request left there (exactly sized, so that ASan
// sees any access past it); the kernel cuts a longer datagram at the buffer's
// size, as it cuts a UDP one. Then handle_reply.
std::string
run_handle_reply(const std::string &reply)
{
	int pair[2];
	if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) < 0)
		return "<socketpair failed>";
	std::vector<char> msg(MESSAGE_SIZE, '\0');
	memcpy(msg.data(), REQUEST_TEXT, sizeof REQUEST_TEXT);
	if (send(pair[1], reply.data(), reply.size(), 0) != static_cast<ssize_t>(reply.size()))
		return "<send failed>";
	sockaddr_in sender;
	socklen_t sender_len = sizeof sender;
	receive_reply(pair[0], msg.data(), &sender, &sender_len);
	close(pair[0]);
	close(pair[1]);
	// GoogleTest's capture of the stdout descriptor, flushed before it ends.
	testing::internal::CaptureStdout();
	handle_reply(msg.data());
	return testing::internal::GetCapturedStdout();
}

std::string
line(const std::string &distance, const std::string &name)
{
	return "Object is detected " + distance + " meters away from board " + name + ".\n";
}

void
check_all(const std::vector<reply_case> &cases)
{
	for (const reply_case &c : cases)
		EXPECT_EQ(run_handle_reply(c.reply), c.expected) << "reply: \"" << c.reply << "\"";
}

// unescape: decodes printf's %b escapes as the reply forms file uses them.
std::string
unescape(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] != '\\' || i + 1 == s.size()) {
			out += s[i];
			continue;
		}
		char c = s[++i];
		if (c == 'x') {
			out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
			i += 2;
		} else {
			out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
		}
	}
	return out;
}

// The reply forms table; lab_forms runs it through the real binary where no
// unit tests are built, on the other C library and CPUs.
TEST(HandleReply, ReplyFormsTable)
{
	std::ifstream file(REPLY_FORMS_FILE);
	ASSERT_TRUE(file) << REPLY_FORMS_FILE;
	std::vector<reply_case> cases;
	std::string row;
	while (std::getline(file, row)) {
		if (row.empty() || row[0] == '#')
			continue;
		size_t tab1 = row.find('\t');
		size_t tab2 = row.find('\t', tab1 + 1);
		ASSERT_NE(tab1, std::string::npos) << row;
		std::string expected;
		if (tab2 != std::string::npos)
			expected = line(
			    row.substr(tab1 + 1, tab2 - tab1 - 1), unescape(row.substr(tab2 + 1)));
		cases.push_back({unescape(row.substr(0, tab1)), expected});
	}
	EXPECT_GT(cases.size(), 40U);
	check_all(cases);
}

}   // namespace
