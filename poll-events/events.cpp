// The event rules: which line of which board makes a near, moved or gone
// event, over a clock that the caller gives.
#include "poll_events.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char LINE_HEAD[] = "Object is detected ";
static const char LINE_MIDDLE[] = " meters away from board ";
// The client prints the distance as %lf: digits, a point and six decimals.
constexpr size_t DISTANCE_DECIMALS = 6;
// The detection range's bounds as the client prints them: a distance just
// above 0 prints as 0.000000.
constexpr double RANGE_MAX_M = 5.0;
// Distances are compared as printed, to six decimals.
constexpr double DISTANCE_EPSILON_M = 1e-9;

bool
parse_detection(
    const char *line, size_t len, const char **name, size_t *name_len, double *distance_m)
{
	const size_t head = sizeof LINE_HEAD - 1, middle = sizeof LINE_MIDDLE - 1;
	if (len < head || memcmp(line, LINE_HEAD, head) != 0)
		return false;
	size_t i = head, digits = 0;
	while (i < len && line[i] >= '0' && line[i] <= '9' && digits < 2) {
		i++;
		digits++;
	}
	if (digits == 0 || i >= len || line[i] != '.')
		return false;
	i++;
	for (size_t d = 0; d < DISTANCE_DECIMALS; d++, i++)
		if (i >= len || line[i] < '0' || line[i] > '9')
			return false;
	char number[16] = {};
	memcpy(number, line + head, i - head);
	size_t rest = i;
	if (len - rest < middle + 2 || memcmp(line + rest, LINE_MIDDLE, middle) != 0 ||
	    line[len - 1] != '.')
		return false;
	const char *n = line + rest + middle;
	size_t n_len = len - rest - middle - 1;
	// The client splits replies at spaces and prints names up to a zero byte.
	if (n_len > BOARD_NAME_MAX || memchr(n, ' ', n_len) != nullptr ||
	    memchr(n, '\0', n_len) != nullptr)
		return false;
	double d = strtod(number, nullptr);
	if (d > RANGE_MAX_M)
		return false;
	*name = n;
	*name_len = n_len;
	*distance_m = d;
	return true;
}

// find_board: the tracked board of that name, or null.
static board *
find_board(tracker *t, const char *name, size_t len)
{
	for (board &b : t->boards)
		if (b.tracked && b.name_len == len && memcmp(b.name, name, len) == 0)
			return &b;
	return nullptr;
}

bool
name_board(board_names *named, const char *name, size_t len)
{
	if (len == 0 || len > BOARD_NAME_MAX || named->n == MAX_BOARDS ||
	    memchr(name, ' ', len) != nullptr || memchr(name, '\0', len) != nullptr)
		return false;
	memcpy(named->names[named->n], name, len);
	named->lens[named->n++] = len;
	return true;
}

bool
is_named(const board_names *named, const char *name, size_t len)
{
	for (size_t i = 0; i < named->n; i++)
		if (named->lens[i] == len && memcmp(named->names[i], name, len) == 0)
			return true;
	return named->n == 0;
}

// set_event: fills out for board b.
static void
set_event(event *out, event_kind kind, const board *b, double distance_m, double near_s)
{
	out->kind = kind;
	memcpy(out->board, b->name, b->name_len);
	out->board_len = b->name_len;
	out->distance_m = distance_m;
	out->near_s = near_s;
}

// gone_event: board b's gone event, and b no longer tracked.
static void
gone_event(board *b, event *out)
{
	set_event(out, EVENT_GONE, b, b->nearest_m, b->last_line_s - b->first_line_s);
	b->tracked = false;
}

// free_board: a board's place for a new one: a free place, or else the place
// of the board silent longest, which is gone then (counted, its event in
// *gone). So a flood of invented names never keeps a real board out: its
// line always makes its event, and only MAX_BOARDS other boards' lines since
// its own last line can put it out.
static board *
free_board(tracker *t, event *gone, size_t *n)
{
	board *oldest = &t->boards[0];
	for (board &b : t->boards) {
		if (!b.tracked)
			return &b;
		if (b.last_line_s < oldest->last_line_s)
			oldest = &b;
	}
	t->put_out++;
	gone_event(oldest, gone);
	++*n;
	return oldest;
}

size_t
take_line(tracker *t, const char *line, size_t len, double now_s, event out[EVENTS_PER_LINE])
{
	t->lines++;
	const char *name;
	size_t name_len;
	double d;
	if (!parse_detection(line, len, &name, &name_len, &d)) {
		t->not_detections++;
		return 0;
	}
	if (!is_named(&t->named, name, name_len)) {
		t->strangers++;
		return 0;
	}
	size_t n = 0;
	board *b = find_board(t, name, name_len);
	if (b == nullptr) {
		b = free_board(t, &out[0], &n);
		b->tracked = true;
		memcpy(b->name, name, name_len);
		b->name_len = name_len;
		b->first_line_s = b->last_line_s = b->last_event_s = now_s;
		b->last_event_m = b->nearest_m = d;
		set_event(&out[n++], EVENT_NEAR, b, d, 0);
		return n;
	}
	b->last_line_s = now_s;
	if (d < b->nearest_m)
		b->nearest_m = d;
	if (now_s - b->last_event_s < t->rules.every_s ||
	    fabs(d - b->last_event_m) + DISTANCE_EPSILON_M < t->rules.step_m)
		return 0;
	b->last_event_s = now_s;
	b->last_event_m = d;
	set_event(&out[n++], EVENT_MOVED, b, d, 0);
	return n;
}

// take_gone: the gone event of the first tracked board that test accepts.
static bool
take_gone(tracker *t, double now_s, bool all, event *out)
{
	for (size_t i = 0; i < MAX_BOARDS; i++) {
		board *b = &t->boards[i];
		if (b->tracked && (all || now_s - b->last_line_s >= t->rules.hold_s)) {
			gone_event(b, out);
			return true;
		}
	}
	return false;
}

bool
take_silence(tracker *t, double now_s, event *out)
{
	return take_gone(t, now_s, false, out);
}

bool
take_end(tracker *t, event *out)
{
	return take_gone(t, 0, true, out);
}

double
next_gone_s(const tracker *t)
{
	double next = -1;
	for (size_t i = 0; i < MAX_BOARDS; i++) {
		double due = t->boards[i].last_line_s + t->rules.hold_s;
		if (t->boards[i].tracked && (next < 0 || due < next))
			next = due;
	}
	return next;
}

const char *
event_name(event_kind kind)
{
	switch (kind) {
	case EVENT_NEAR:
		return "near";
	case EVENT_MOVED:
		return "moved";
	case EVENT_GONE:
		return "gone";
	}
	return "?";
}

size_t
escape_name(const char *name, size_t len, bool json, char *out)
{
	size_t n = 0;
	for (size_t i = 0; i < len; i++) {
		unsigned char c = static_cast<unsigned char>(name[i]);
		if (c == '\\' || (json && c == '"')) {
			out[n++] = '\\';
			out[n++] = static_cast<char>(c);
		} else if (c >= 0x20 && c < 0x7f) {
			out[n++] = static_cast<char>(c);
		} else {
			n += static_cast<size_t>(sprintf(out + n, json ? "\\u%04x" : "\\x%02x", c));
		}
	}
	return n;
}

size_t
format_event(const event *e, long long wall_ms, bool json, char text[EVENT_TEXT_MAX])
{
	char name[NAME_TEXT_MAX];
	size_t name_len = escape_name(e->board, e->board_len, json, name);
	name[name_len] = '\0';
	time_t seconds = static_cast<time_t>(wall_ms / MS_PER_S);
	long ms = static_cast<long>(wall_ms % MS_PER_S);
	tm utc;
	gmtime_r(&seconds, &utc);
	char stamp[32];
	strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
	int n;
	if (json && e->kind == EVENT_GONE)
		n = snprintf(text, EVENT_TEXT_MAX,
		    "{\"time\":\"%s.%03ldZ\",\"board\":\"%s\",\"event\":\"gone\",\"distance\":%.6f,"
		    "\"near_s\":%.3f}\n",
		    stamp, ms, name, e->distance_m, e->near_s);
	else if (json)
		n = snprintf(text, EVENT_TEXT_MAX,
		    "{\"time\":\"%s.%03ldZ\",\"board\":\"%s\",\"event\":\"%s\",\"distance\":%.6f}"
		    "\n",
		    stamp, ms, name, event_name(e->kind), e->distance_m);
	else if (e->kind == EVENT_GONE)
		n = snprintf(text, EVENT_TEXT_MAX, "%s.%03ldZ gone %s %.6f %.3f\n", stamp, ms, name,
		    e->distance_m, e->near_s);
	else
		n = snprintf(text, EVENT_TEXT_MAX, "%s.%03ldZ %s %s %.6f\n", stamp, ms,
		    event_name(e->kind), name, e->distance_m);
	return n > 0 ? static_cast<size_t>(n) : 0;
}
