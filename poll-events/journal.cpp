// Events as journal entries with fields of their own, over the journal's
// native protocol: one datagram per entry to journald's socket, as
// sd_journal_send(3) sends it, without a library that a static build could
// not take.
#include "poll_events.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "journal.h"

static const char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";
// Informational, as syslog(3) numbers it.
static const char PRIORITY_FIELD[] = "PRIORITY=6\n";
static const char IDENTIFIER_FIELD[] = "SYSLOG_IDENTIFIER=poll-events\n";
// The board's field name, then its value in the binary-safe form: its
// length as 64 bits, little-endian, then its bytes, then a newline.
static const char BOARD_FIELD[] = "POLL_BOARD\n";

bool
stdout_is_journal()
{
	// systemd says where it connected stdout to the journal.
	const char *stream = getenv("JOURNAL_STREAM");
	if (stream == nullptr)
		return false;
	char *colon, *end;
	unsigned long long dev = strtoull(stream, &colon, 10);
	if (*colon != ':')
		return false;
	unsigned long long ino = strtoull(colon + 1, &end, 10);
	struct stat st;
	return *end == '\0' && fstat(STDOUT_FILENO, &st) == 0 && st.st_dev == dev &&
	    st.st_ino == ino;
}

int
open_journal()
{
	int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (sock < 0)
		return -1;
	sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, JOURNAL_SOCKET, sizeof JOURNAL_SOCKET);
	if (connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
		close(sock);
		return -1;
	}
	return sock;
}

bool
send_journal_entry(int sock, const event *e)
{
	char message[EVENT_TEXT_MAX + 16];
	char name[NAME_TEXT_MAX];
	size_t name_len = escape_name(e->board, e->board_len, false, name);
	name[name_len] = '\0';
	int m;
	if (e->kind == EVENT_GONE)
		m = snprintf(message, sizeof message, "MESSAGE=gone %s %.6f %.3f\n", name,
		    e->distance_m, e->near_s);
	else
		m = snprintf(message, sizeof message, "MESSAGE=%s %s %.6f\n", event_name(e->kind),
		    name, e->distance_m);
	char fields[128];
	int f = snprintf(fields, sizeof fields, "POLL_EVENT=%s\nPOLL_DISTANCE=%.6f\n",
	    event_name(e->kind), e->distance_m);
	if (e->kind == EVENT_GONE)
		f += snprintf(fields + f, sizeof fields - static_cast<size_t>(f),
		    "POLL_NEAR_S=%.3f\n", e->near_s);
	unsigned char length[8];
	uint64_t len = e->board_len;
	for (unsigned char &byte : length) {
		byte = static_cast<unsigned char>(len & 0xff);
		len >>= 8;
	}
	iovec parts[] = {
	    {message, static_cast<size_t>(m)},
	    {const_cast<char *>(PRIORITY_FIELD), sizeof PRIORITY_FIELD - 1},
	    {const_cast<char *>(IDENTIFIER_FIELD), sizeof IDENTIFIER_FIELD - 1},
	    {fields, static_cast<size_t>(f)},
	    {const_cast<char *>(BOARD_FIELD), sizeof BOARD_FIELD - 1},
	    {length, sizeof length},
	    {const_cast<char *>(e->board), e->board_len},
	    {const_cast<char *>("\n"), 1},
	};
	msghdr msg = {};
	msg.msg_iov = parts;
	msg.msg_iovlen = sizeof parts / sizeof parts[0];
	return sendmsg(sock, &msg, MSG_NOSIGNAL) >= 0;
}
