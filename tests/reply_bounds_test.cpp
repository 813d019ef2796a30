#include "capture_stdout.h"
#include "poll_client.h"

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>

namespace {

// Fills an exactly sized message buffer as the kernel would with a datagram
// of datagram_len bytes, then bounds it as the client does.
std::unique_ptr<char[]>
receive_into_buffer(const std::string &datagram)
{
	auto msg = std::make_unique<char[]>(MESSAGE_SIZE);
	memset(msg.get(), 'Z', MESSAGE_SIZE);   // leftovers that must not leak in
	size_t received = datagram.size() < MESSAGE_SIZE ? datagram.size() : MESSAGE_SIZE;
	memcpy(msg.get(), datagram.data(), received);
	terminate_reply(msg.get(), received);
	return msg;
}

TEST(TerminateReply, TextEndsAtReceivedBytesInsideBuffer)
{
	struct {
		size_t datagram_len;
		size_t text_len;
	} cases[] = {
	    {0, 0},
	    {1, 1},
	    {5, 5},
	    {98, 98},
	    {99, 99},
	    {100, 99},
	    {150, 99},
	};
	for (auto c : cases) {
		auto msg = receive_into_buffer(std::string(c.datagram_len, 'x'));
		EXPECT_EQ(strlen(msg.get()), c.text_len) << "datagram of " << c.datagram_len;
	}
}

TEST(TerminateReply, ShortReplyIsNotExtendedByOldBufferContents)
{
	auto msg = receive_into_buffer("b 3");
	EXPECT_STREQ(msg.get(), "b 3");
}

TEST(TerminateReply, EarlyZeroByteEndsTheText)
{
	auto msg = receive_into_buffer(std::string("b2 1.5\0 b3 2.5", 14));
	std::string out = capture_stdout([&] { handle_reply(msg.get()); });
	EXPECT_EQ(out, "Object is detected 1.500000 meters away from board b2.\n");
}

TEST(TerminateReply, FullBufferWithoutZeroByteIsCutAtItsLastByte)
{
	// 97-byte name, a space, "3": 99 bytes kept; the 100th ("9") and beyond are cut.
	std::string name(97, 'n');
	for (size_t extra : {size_t{0}, size_t{1}, size_t{51}}) {
		auto msg = receive_into_buffer(name + " 39" + std::string(extra, '9'));
		std::string out = capture_stdout([&] { handle_reply(msg.get()); });
		EXPECT_EQ(out, "Object is detected 3.000000 meters away from board " + name + ".\n")
		    << "datagram of " << 100 + extra;
	}
}

}   // namespace
