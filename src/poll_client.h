// poll-client: broadcasts a poll to the sensor boards and reports near objects.
#ifndef POLL_CLIENT_H
#define POLL_CLIENT_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <stddef.h>
#include <stdint.h>

// Bytes in the buffer that carries the request and then one reply.
constexpr size_t MESSAGE_SIZE = 100;
// Directed broadcast of the boards' subnet, in dotted-quad form for inet_addr.
constexpr const char BROADCAST_ADDRESS[] = "10.3.52.255";
// The poll; sent without its terminating zero byte.
constexpr const char REQUEST_TEXT[] = "DATA\n";
// Detection range in metres: (DETECTION_MIN_M, DETECTION_MAX_M].
constexpr double DETECTION_MIN_M = 0.0;
constexpr double DETECTION_MAX_M = 5.0;
// Seconds of silence after which the request is taken as lost and sent again.
constexpr long REPLY_TIMEOUT_S = 1;

// open_broadcast_socket: returns a UDP socket allowed to broadcast, with a bounded
// wait for replies and above the standard streams, or ends the process.
int open_broadcast_socket();
// make_broadcast_address: returns the boards' broadcast address at port.
sockaddr_in make_broadcast_address(uint16_t port);
// send_request: clears msg, writes the request into it and broadcasts it, or ends the process.
void send_request(int sock, const sockaddr_in *dest, char msg[MESSAGE_SIZE]);
// receive_reply: leaves one datagram in msg as a zero-terminated text (empty after a
// second of silence or a stop and continue), or ends the process.
void receive_reply(int sock, char msg[MESSAGE_SIZE], sockaddr_in *sender, socklen_t *sender_len);
// terminate_reply: ends the text after the received bytes, always inside msg.
void terminate_reply(char msg[MESSAGE_SIZE], size_t received);
// error: reports the failed step with the system's reason and ends the process.
[[noreturn]] void error(const char *step);

// parse_reply: splits text in place; returns false when the name or the distance word is missing.
bool parse_reply(char *text, const char **name, double *distance);
// require_stdout: ends the process unless standard output is open.
void require_stdout();
// handle_reply: prints the detection line when the reply's distance is in range, or
// ends the process when the line cannot be written.
void handle_reply(char *text);

#endif
