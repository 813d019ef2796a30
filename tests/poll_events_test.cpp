// The event rules as tables over a clock that the test sets, and the events'
// text.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "mqtt.h"
#include "poll_events.h"

namespace {

constexpr settings RULES = {5.0, 60.0, 0.5};

std::string
line_of(const char *board, const char *distance)
{
	std::string l("Object is detected ");
	l.append(distance).append(" meters away from board ").append(board).append(".");
	return l;
}

std::string
text_of(const event &e)
{
	char n[64];
	snprintf(
	    n, sizeof n, e.kind == EVENT_GONE ? " %.6f %.3f" : " %.6f", e.distance_m, e.near_s);
	std::string s(event_name(e.kind));
	s.append(" ").append(e.board, e.board_len).append(n);
	return s;
}

// A step: at t_s, a line of board at distance, or (board null) the clock alone.
struct step {
	double t_s;
	const char *board;
	const char *distance;
};

struct rules_case {
	const char *what;
	double hold_s;
	std::vector<step> steps;
	std::vector<std::string> want;
};

std::vector<std::string>
run(const std::vector<step> &steps, tracker *t)
{
	std::vector<std::string> got;
	event e[EVENTS_PER_LINE];
	for (const step &s : steps) {
		while (take_silence(t, s.t_s, e))
			got.push_back(text_of(e[0]));
		if (s.board == nullptr)
			continue;
		std::string l = line_of(s.board, s.distance);
		for (size_t i = 0, n = take_line(t, l.data(), l.size(), s.t_s, e); i < n; i++)
			got.push_back(text_of(e[i]));
	}
	return got;
}

TEST(Events, RulesTable)
{
	const rules_case cases[] = {
	    {"the first line is near; lines while near make nothing more", 5,
	        {{0, "gate", "1.500000"}, {1, "gate", "1.600000"}, {4.9, "gate", "1.400000"}},
	        {"near gate 1.500000"}},
	    {"gone after the hold of silence, with the nearest and the time near", 5,
	        {{0, "gate", "2.000000"}, {1, "gate", "1.250000"}, {3, "gate", "3.000000"},
	            {7.99, nullptr, nullptr}, {8, nullptr, nullptr}},
	        {"near gate 2.000000", "gone gate 1.250000 3.000"}},
	    {"a line after gone is near again; a line after the hold but before the clock is "
	     "checked, too",
	        5,
	        {{0, "gate", "1.000000"}, {5, nullptr, nullptr}, {6, "gate", "2.000000"},
	            {20, "gate", "3.000000"}},
	        {"near gate 1.000000", "gone gate 1.000000 0.000", "near gate 2.000000",
	            "gone gate 2.000000 0.000", "near gate 3.000000"}},
	    {"moved: a step since the last event, no sooner than every", 100,
	        {{0, "gate", "1.000000"}, {1, "gate", "4.000000"}, {59.9, "gate", "4.000000"},
	            {60, "gate", "4.000000"}, {61, "gate", "4.400000"}, {121, "gate", "4.400000"},
	            {122, "gate", "3.500000"}},
	        {"near gate 1.000000", "moved gate 4.000000", "moved gate 3.500000"}},
	    {"moved: a change of exactly one step is one; drift adds up from the last event", 100,
	        {{0, "gate", "1.000000"}, {60, "gate", "1.300000"}, {61, "gate", "1.500000"}},
	        {"near gate 1.000000", "moved gate 1.500000"}},
	    {"boards apart, each by its own name as the line gives it", 5,
	        {{0, "gate", "1.000000"}, {1, "gate.", "2.000000"}, {2, "Gate", "3.000000"},
	            {4.5, "gate", "0.500000"}, {6.5, nullptr, nullptr}, {9.5, nullptr, nullptr}},
	        {"near gate 1.000000", "near gate. 2.000000", "near Gate 3.000000",
	            "gone gate. 2.000000 0.000", "gone gate 0.500000 4.500",
	            "gone Gate 3.000000 0.000"}},
	};
	for (const rules_case &c : cases) {
		tracker t = {};
		t.rules = RULES;
		t.rules.hold_s = c.hold_s;
		EXPECT_EQ(run(c.steps, &t), c.want) << c.what;
	}
}

TEST(Events, LinesThatAreNoDetection)
{
	const std::string bad[] = {
	    "",
	    "Object is detected 1.500000 meters away from board gate",   // a name with a newline,
	                                                                 // its first part
	    "b.",   // and its second
	    "Object is detected 1.500000 meters away from board .",   // no name
	    "Object is detected 1.500000 meters away from board a b.",   // a space: the client
	                                                                 // splits there
	    "Object is detected 5.000001 meters away from board gate.",   // out of range
	    "Object is detected 12.000000 meters away from board gate.",
	    "Object is detected 1.5 meters away from board gate.",   // not the client's %lf
	    "Object is detected -1.000000 meters away from board gate.",
	    "Object is detected 1.500000 meters away from board gate.\r",
	    std::string("Object is detected 1.500000 meters away from board g\0te.", 57),
	    line_of(std::string(BOARD_NAME_MAX + 1, 'x').c_str(), "1.500000"),
	    "\x89PNG\r\n\x1a\n stranger's bytes",
	};
	tracker t = {};
	t.rules = RULES;
	event e[EVENTS_PER_LINE];
	for (const std::string &l : bad)
		EXPECT_EQ(take_line(&t, l.data(), l.size(), 0, e), 0u) << l;
	EXPECT_EQ(t.lines, std::size(bad));
	EXPECT_EQ(t.not_detections, std::size(bad));
	EXPECT_EQ(next_gone_s(&t), -1);

	const std::string good[] = {line_of("gate", "0.000000"), line_of("gate", "5.000000"),
	    line_of(std::string(BOARD_NAME_MAX, 'x').c_str(), "1.000000"),
	    line_of("\x1b[2J\xff", "1.000000")};
	for (const std::string &l : good) {
		tracker fresh = {};
		fresh.rules = RULES;
		EXPECT_EQ(take_line(&fresh, l.data(), l.size(), 0, e), 1u) << l;
	}
}

// A flood of invented names never keeps a board out: a line of a board past
// the bound puts out the board silent longest, which is gone.
TEST(Events, BoundedBoards)
{
	tracker t = {};
	t.rules = RULES;
	std::vector<step> steps;
	std::vector<std::string> names;
	for (size_t i = 0; i <= MAX_BOARDS; i++)
		names.push_back(std::string("b").append(std::to_string(i)));
	for (size_t i = 0; i < MAX_BOARDS; i++)
		steps.push_back({static_cast<double>(i) / 100, names[i].c_str(), "1.000000"});
	steps.push_back({1, names[0].c_str(), "1.000000"});
	steps.push_back({2, names[MAX_BOARDS].c_str(), "2.000000"});
	std::vector<std::string> got = run(steps, &t);
	ASSERT_EQ(got.size(), MAX_BOARDS + 2);
	EXPECT_EQ(got[MAX_BOARDS], "gone b1 1.000000 0.000");
	EXPECT_EQ(got[MAX_BOARDS + 1], "near b64 2.000000");
	EXPECT_EQ(t.put_out, 1u);
	event e;
	size_t gone = 0;
	while (take_end(&t, &e))
		gone++;
	EXPECT_EQ(gone, MAX_BOARDS);
}

// Named boards alone make events; the others' lines are counted. A name
// that no line can carry is refused, and so is one past the bound.
TEST(Events, NamedBoards)
{
	tracker t = {};
	t.rules = RULES;
	for (const char *name : {"gate", "north"})
		ASSERT_TRUE(name_board(&t.named, name, strlen(name)));
	EXPECT_EQ(run({{0, "gate", "1.000000"}, {0, "stranger", "1.000000"},
	                  {1, "gate.", "1.000000"}, {2, "north", "2.000000"}},
	              &t),
	    (std::vector<std::string>{"near gate 1.000000", "near north 2.000000"}));
	EXPECT_EQ(t.strangers, 2u);
	const std::string refused[] = {
	    "", "a b", std::string("a\0b", 3), std::string(BOARD_NAME_MAX + 1, 'x')};
	for (const std::string &name : refused)
		EXPECT_FALSE(name_board(&t.named, name.data(), name.size())) << name;
	board_names full = {};
	for (size_t i = 0; i < MAX_BOARDS; i++)
		ASSERT_TRUE(name_board(&full, "b", 1));
	EXPECT_FALSE(name_board(&full, "b", 1));
}

// Every form of the broker's address, IPv6 in brackets among them.
TEST(Mqtt, BrokerUrls)
{
	struct {
		const char *url;
		bool ok;
		const char *host;
		int port;
		bool tls;
	} const cases[] = {
	    {"mqtt://192.168.1.10", true, "192.168.1.10", 1883, false},
	    {"mqtts://broker.lan:8884", true, "broker.lan", 8884, true},
	    {"mqtt://[::1]:1884", true, "::1", 1884, false},
	    {"mqtts://[fe80::1%eth0]", true, "fe80::1%eth0", 8883, true},
	    {"mqtt://::1", false, "", 0, false},
	    {"mqtt://[::1", false, "", 0, false},
	    {"mqtt://[::1]x", false, "", 0, false},
	    {"mqtt://host:0", false, "", 0, false},
	    {"mqtt://host:65536", false, "", 0, false},
	    {"mqtt://host:1x", false, "", 0, false},
	    {"mqtt://:1883", false, "", 0, false},
	    {"http://host", false, "", 0, false},
	};
	for (const auto &c : cases) {
		char host[HOST_MAX] = "";
		int port = 0;
		bool tls = false;
		bool ok = parse_broker(c.url, host, &port, &tls);
		EXPECT_EQ(ok, c.ok) << c.url;
		if (ok) {
			EXPECT_STREQ(host, c.host) << c.url;
			EXPECT_EQ(port, c.port) << c.url;
			EXPECT_EQ(tls, c.tls) << c.url;
		}
	}
}

TEST(Events, Text)
{
	event e = {EVENT_GONE, {}, 0, 1.25, 12.5};
	const char name[] = "a\"b\\c\n\xff.";
	memcpy(e.board, name, sizeof name - 1);
	e.board_len = sizeof name - 1;
	char text[EVENT_TEXT_MAX];
	// 2026-12-10T02:40:00.123Z
	const long long wall_ms = 1796870400123;
	format_event(&e, wall_ms, true, text);
	EXPECT_STREQ(text,
	    "{\"time\":\"2026-12-10T02:40:00.123Z\",\"board\":\"a\\\"b\\\\c\\u000a\\u00ff.\","
	    "\"event\":\"gone\","
	    "\"distance\":1.250000,\"near_s\":12.500}\n");
	format_event(&e, wall_ms, false, text);
	EXPECT_STREQ(text, "2026-12-10T02:40:00.123Z gone a\"b\\\\c\\x0a\\xff. 1.250000 12.500\n");
	e.kind = EVENT_MOVED;
	format_event(&e, wall_ms, true, text);
	EXPECT_STREQ(text,
	    "{\"time\":\"2026-12-10T02:40:00.123Z\",\"board\":\"a\\\"b\\\\c\\u000a\\u00ff.\","
	    "\"event\":\"moved\","
	    "\"distance\":1.250000}\n");
}

}   // namespace
