// The UDP side: the broadcast socket, the request and the one reply per cycle.
#include "poll_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

// Status of the socket option failures, kept from the first design (255 to the parent).
constexpr int EXIT_SOCKOPT = -1;
// Lowest descriptor that no standard stream can claim.
constexpr int FIRST_PRIVATE_FD = STDERR_FILENO + 1;

[[noreturn]] void
error(const char *step)
{
	perror(step);
	exit(EXIT_FAILURE);
}

// set_option: sets a socket-level option, or ends the process as the broadcast option's
// failure always has.
static void
set_option(int sock, int name, const void *value, socklen_t len)
{
	if (setsockopt(sock, SOL_SOCKET, name, value, len) < 0) {
		puts("error setting socket options");
		exit(EXIT_SOCKOPT);
	}
}

int
open_broadcast_socket()
{
	int sock = socket(AF_INET, SOCK_DGRAM, 0);
	if (sock < 0)
		error("socket");
	// Started with stdin or stderr closed, the socket would take its number, and
	// failure messages would be written into the socket.
	if (sock < FIRST_PRIVATE_FD) {
		int moved = fcntl(sock, F_DUPFD, FIRST_PRIVATE_FD);
		if (moved < 0)
			error("socket");
		close(sock);
		sock = moved;
	}

	int on = 1;
	set_option(sock, SO_BROADCAST, &on, sizeof on);
	// UDP loses datagrams: without a bound, one lost request or reply would stop
	// the polling for ever.
	timeval timeout = {REPLY_TIMEOUT_S, 0};
	set_option(sock, SO_RCVTIMEO, &timeout, sizeof timeout);
	return sock;
}

sockaddr_in
make_broadcast_address(uint16_t port)
{
	sockaddr_in addr;
	memset(&addr, 0, sizeof addr);
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	addr.sin_addr.s_addr = inet_addr(BROADCAST_ADDRESS);
	return addr;
}

void
send_request(int sock, const sockaddr_in *dest, char msg[MESSAGE_SIZE])
{
	memset(msg, 0, MESSAGE_SIZE);
	memcpy(msg, REQUEST_TEXT, sizeof REQUEST_TEXT);
	if (sendto(sock, msg, sizeof REQUEST_TEXT - 1, 0, reinterpret_cast<const sockaddr *>(dest),
	        sizeof *dest) < 0)
		error("Sendto");
}

void
terminate_reply(char msg[MESSAGE_SIZE], size_t received)
{
	// A full buffer has no room for the zero byte: its last byte gives way.
	msg[received < MESSAGE_SIZE ? received : MESSAGE_SIZE - 1] = '\0';
}

void
receive_reply(int sock, char msg[MESSAGE_SIZE], sockaddr_in *sender, socklen_t *sender_len)
{
	// Datagrams longer than the buffer are cut by the kernel; the rest is lost.
	ssize_t n =
	    recvfrom(sock, msg, MESSAGE_SIZE, 0, reinterpret_cast<sockaddr *>(sender), sender_len);
	if (n < 0) {
		// Silence, or a stop and continue (which Linux does not restart once a
		// time-out is set): the empty text prints nothing and the cycle asks again.
		if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
			error("recvfrom");
		n = 0;
	}
	// Ending at the count keeps a short reply free of the request's leftovers.
	terminate_reply(msg, static_cast<size_t>(n));
}
