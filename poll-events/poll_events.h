// poll-events: turns poll-client's detection lines into near, moved and gone
// events per board.
#ifndef POLL_EVENTS_H
#define POLL_EVENTS_H

#include <stddef.h>

// Bytes of a board's name at most: the client's 100-byte reply holds the
// name and its distance, so no name it prints is longer.
constexpr size_t BOARD_NAME_MAX = 100;
// Boards tracked at once, and boards that may be named; a line of any
// further board puts out the one silent longest, which is gone then.
constexpr size_t MAX_BOARDS = 64;
// Bytes of one input line at most, its newline included; a longer one is no
// detection line.
constexpr size_t LINE_MAX_BYTES = 256;
// Defaults, argued in poll-events(1).
constexpr double DEFAULT_HOLD_S = 5.0;
constexpr double DEFAULT_EVERY_S = 60.0;
constexpr double DEFAULT_STEP_M = 0.5;

struct settings {
	double hold_s;   // silence after a board's last line that makes it gone
	double every_s;   // least time between two events of one board, for moved
	double step_m;   // least change of distance since the board's last event, for moved
};

enum event_kind { EVENT_NEAR, EVENT_MOVED, EVENT_GONE };

struct event {
	event_kind kind;
	char board[BOARD_NAME_MAX];
	size_t board_len;
	double distance_m;   // near, moved: the line's; gone: the nearest while near
	double near_s;   // gone: from the first line to the last
};

struct board {
	bool tracked;
	char name[BOARD_NAME_MAX];
	size_t name_len;
	double first_line_s;
	double last_line_s;
	double last_event_s;
	double last_event_m;
	double nearest_m;
};

// The boards that a user named: when there are any, no other board makes an event.
struct board_names {
	char names[MAX_BOARDS][BOARD_NAME_MAX];
	size_t lens[MAX_BOARDS];
	size_t n;
};

// Counts: 64-bit, as a board's lines come hundreds a second for months.
struct tracker {
	settings rules;
	board_names named;
	board boards[MAX_BOARDS];
	unsigned long long lines;   // lines read
	unsigned long long not_detections;   // lines that are no whole detection line
	unsigned long long strangers;   // detection lines of boards not named
	unsigned long long put_out;   // boards put out for a newer one, all MAX_BOARDS tracked
};

// Events that one line makes at most: a board put out, and the new one's near.
constexpr size_t EVENTS_PER_LINE = 2;

// parse_detection: true when line (len bytes, no newline) is a whole detection
// line as the client prints it; then name points into line.
bool parse_detection(
    const char *line, size_t len, const char **name, size_t *name_len, double *distance_m);
// name_board: adds a name to the boards that alone make events; false when
// it is empty, too long, holds a space or a zero byte, or MAX_BOARDS are named.
bool name_board(board_names *named, const char *name, size_t len);
// is_named: true when no board is named, or this one is.
bool is_named(const board_names *named, const char *name, size_t len);
// take_line: counts one line read at now_s (seconds, any steady clock) and
// writes the events that it makes to out (a board put out first); returns
// how many.
size_t take_line(
    tracker *t, const char *line, size_t len, double now_s, event out[EVENTS_PER_LINE]);
// take_silence: writes to out the gone event of one board silent for the
// hold at now_s; returns whether there was one (call until false).
bool take_silence(tracker *t, double now_s, event *out);
// take_end: writes to out the gone event of one board still tracked, as at
// the end of the input; returns whether there was one (call until false).
bool take_end(tracker *t, event *out);
// next_gone_s: when the next board falls silent for the hold, or a negative
// value when no board is tracked.
double next_gone_s(const tracker *t);

// Bytes of a name escaped at most (\u00XX for each byte), and its zero.
constexpr size_t NAME_TEXT_MAX = 6 * BOARD_NAME_MAX + 1;
// Bytes that an event's text takes at most, either form.
constexpr size_t EVENT_TEXT_MAX = NAME_TEXT_MAX + 160;
constexpr long long MS_PER_S = 1000;
// format_event: the event as one line in text (with its newline): JSON
// (time, board, event, distance, near_s for gone) or plain; wall_ms is the
// time since the epoch in milliseconds. Returns the length.
size_t format_event(const event *e, long long wall_ms, bool json, char text[EVENT_TEXT_MAX]);
// escape_name: the name with every byte but printable ASCII escaped, \u00XX
// in JSON and \xXX in plain text, and the backslash (and in JSON the quote)
// by a backslash, so that the bytes can be recovered; returns the length
// written to out.
size_t escape_name(const char *name, size_t len, bool json, char *out);
// event_name: "near", "moved" or "gone".
const char *event_name(event_kind kind);

#endif
