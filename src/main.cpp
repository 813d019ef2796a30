// poll-client: polls the sensor boards for ever and prints each near object.
#include "poll_client.h"

#include <stdio.h>
#include <stdlib.h>

// Line buffering writes each detection line at once, so that a client stopped
// by a signal loses none of them when stdout is a pipe or a file.
static char stdout_buffer[BUFSIZ];

int
main(int argc, char *argv[])
{
	setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);

	if (argc != 2) {
		// An exec with an empty argument vector leaves no name to print.
		printf("usage: %s port\n", argc > 0 ? argv[0] : "poll-client");
		exit(EXIT_FAILURE);
	}

	require_stdout();
	int sock = open_broadcast_socket();
	// No range check: the port is the conversion's low 16 bits, so -1 is 65535.
	int port = static_cast<int>(strtol(argv[1], nullptr, 10));
	sockaddr_in dest = make_broadcast_address(static_cast<uint16_t>(port));
	char msg[MESSAGE_SIZE];
	sockaddr_in sender;
	socklen_t sender_len = sizeof sender;

	for (;;) {
		send_request(sock, &dest, msg);
		receive_reply(sock, msg, &sender, &sender_len);
		handle_reply(msg);
	}
}
