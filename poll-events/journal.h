// The journal's native protocol, for events with fields of their own.
#ifndef POLL_EVENTS_JOURNAL_H
#define POLL_EVENTS_JOURNAL_H

#include "poll_events.h"

// stdout_is_journal: true when systemd connected standard output to the journal.
bool stdout_is_journal();
// open_journal: a socket connected to journald's native socket, or -1.
int open_journal();
// send_journal_entry: sends the event as one entry: MESSAGE (the plain text
// without the time), POLL_EVENT, POLL_BOARD (the name's bytes as they came),
// POLL_DISTANCE and, for gone, POLL_NEAR_S; false when it cannot.
bool send_journal_entry(int sock, const event *e);

#endif
