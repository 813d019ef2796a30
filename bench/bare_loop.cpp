// bare-loop PORT: the floor for poll-client's cycle rate. The same socket and
// the same request, but each cycle only sends the request and receives the
// reply: no clearing, no parsing, no printing. Runs for ever, like the client;
// run it only in the lab (it broadcasts to 10.3.52.255 as the client does).
#include "poll_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

int
main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "usage: bare-loop port\n");
		return 1;
	}
	int sock = socket(AF_INET, SOCK_DGRAM, 0);
	int on = 1;
	if (sock < 0 || setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
		perror("bare-loop: socket");
		return 1;
	}
	sockaddr_in dest = {};
	dest.sin_family = AF_INET;
	dest.sin_port = htons(static_cast<uint16_t>(strtol(argv[1], nullptr, 10)));
	dest.sin_addr.s_addr = inet_addr(BROADCAST_ADDRESS);
	char reply[MESSAGE_SIZE];
	sockaddr_in sender;
	socklen_t sender_len = sizeof sender;
	for (;;) {
		if (sendto(sock, REQUEST_TEXT, sizeof REQUEST_TEXT - 1, 0,
		        reinterpret_cast<sockaddr *>(&dest), sizeof dest) < 0) {
			perror("bare-loop: sendto");
			return 1;
		}
		if (recvfrom(sock, reply, sizeof reply, 0, reinterpret_cast<sockaddr *>(&sender),
		        &sender_len) < 0) {
			perror("bare-loop: recvfrom");
			return 1;
		}
	}
}
