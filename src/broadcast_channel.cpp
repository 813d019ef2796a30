// The UDP side: the broadcast socket, the request and the one reply per cycle.
#include "poll_client.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Status of the one failure that keeps its historical code (255 to the parent).
constexpr int EXIT_SOCKOPT = -1;

[[noreturn]] void
error(const char *step)
{
	perror(step);
	exit(EXIT_FAILURE);
}

int
open_broadcast_socket()
{
	int sock = socket(AF_INET, SOCK_DGRAM, 0);
	if (sock < 0)
		error("socket");

	int on = 1;
	if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
		puts("error setting socket options");
		exit(EXIT_SOCKOPT);
	}
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
	if (n < 0)
		error("recvfrom");
	// Ending at the count keeps a short reply free of the request's leftovers.
	terminate_reply(msg, static_cast<size_t>(n));
}
