#include "capture_stdout.h"
#include "poll_client.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

struct reply_case {
	std::string reply;   // datagram text, without the zero byte
	std::string expected;   // stdout: the detection line or nothing
};

// Runs handle_reply on an exactly sized copy, so that ASan sees any over-read.
std::string
run_handle_reply(const std::string &reply)
{
	std::vector<char> text(reply.begin(), reply.end());
	text.push_back('\0');
	return capture_stdout([&] { handle_reply(text.data()); });
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

TEST(HandleReply, DetectionRangeIsAboveZeroUpToFiveInclusive)
{
	check_all({
	    {"b7 3.25", line("3.250000", "b7")},
	    {"b7 5", line("5.000000", "b7")},
	    {"b7 5.0", line("5.000000", "b7")},
	    {"b7 0", ""},
	    {"b7 -0", ""},
	    {"b7 -2", ""},
	    {"b7 5.000001", ""},
	    {"b7 near", ""},
	    // The test uses the full value; the line shows it rounded.
	    {"b7 0.0000001", line("0.000000", "b7")},
	    {"b7 4.9999999", line("5.000000", "b7")},
	    // Rounds to exactly 5.0 in double precision, so it is in range.
	    {"b7 5.0000000000000001", line("5.000000", "b7")},
	    {"b7 1e-400", ""},
	});
}

TEST(HandleReply, NumberFormsFollowStrtodInThePosixLocale)
{
	check_all({
	    {"b7 2,5", line("2.000000", "b7")},
	    {"b7 1e0", line("1.000000", "b7")},
	    {"b7 +1.5", line("1.500000", "b7")},
	    {"b7 .5", line("0.500000", "b7")},
	    {"b7 0x1p1", line("2.000000", "b7")},
	    {"b7 0x10", ""},
	    {"b7 1.5m", line("1.500000", "b7")},
	    {"b7 nan", ""},
	    {"b7 -nan", ""},
	    {"b7 inf", ""},
	    {"b7 -inf", ""},
	    {"b7 INFINITY", ""},
	    {"b7 1e309", ""},
	});
}

TEST(HandleReply, OnlySpacesSeparateWords)
{
	check_all({
	    {"   b7    1.5", line("1.500000", "b7")},
	    {"b7 1.5\n", line("1.500000", "b7")},
	    {"b7 1.5\r\n", line("1.500000", "b7")},
	    {"b7 1.5 x y", line("1.500000", "b7")},
	    {"b7 1.5   ", line("1.500000", "b7")},
	    // The tab belongs to the name; the distance is the next space-separated word.
	    {"b7\t9 2", line("2.000000", "b7\t9")},
	    // strtod skips leading white space inside the distance word.
	    {"b7 \t1.5", line("1.500000", "b7")},
	});
}

TEST(HandleReply, ReplyWithoutDistanceWordPrintsNothing)
{
	check_all({
	    {"", ""},
	    {" ", ""},
	    {"     ", ""},
	    {"b7", ""},
	    {"b7 ", ""},
	    {"   b7   ", ""},
	    {"b7\t1.5", ""},
	    {"b7\n1.5", ""},
	    {"\n", ""},
	});
}

TEST(HandleReply, BoardNameIsPrintedByteForByte)
{
	std::string long_name(90, 'n');
	check_all({
	    {"%s%n%x 1", line("1.000000", "%s%n%x")},
	    {"b\\7 1", line("1.000000", "b\\7")},
	    {"\xff\x01\x7f 1", line("1.000000", "\xff\x01\x7f")},
	    {"b7.\n 1", line("1.000000", "b7.\n")},
	    {long_name + " 4", line("4.000000", long_name)},
	});
}

TEST(ParseReply, SplitsInPlaceAndReportsMissingWords)
{
	char text[] = "  b2   1.5 rest";
	const char *name = nullptr;
	double distance = -1;
	ASSERT_TRUE(parse_reply(text, &name, &distance));
	EXPECT_STREQ(name, "b2");
	EXPECT_EQ(name, text + 2);   // the name points into the reply text
	EXPECT_DOUBLE_EQ(distance, 1.5);

	for (const char *reply : {"", "   ", "b2", "b2   "}) {
		std::vector<char> buf(reply, reply + strlen(reply) + 1);
		name = nullptr;
		distance = -1;
		EXPECT_FALSE(parse_reply(buf.data(), &name, &distance))
		    << "reply: \"" << reply << "\"";
		EXPECT_EQ(distance, -1) << "distance converted for \"" << reply << "\"";
	}
}

}   // namespace
