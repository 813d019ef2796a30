// Events on MQTT: each board's presence and distance, retained, with Home
// Assistant's discovery, through libmosquitto, on a thread of its own.
#ifndef POLL_EVENTS_MQTT_H
#define POLL_EVENTS_MQTT_H

#include "poll_events.h"

struct mqtt_settings {
	const char *url;   // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; HOST may be [IPv6]
	const char *prefix;   // of the state and availability topics, or null: poll-events/HOSTNAME
	const char *ca_file;   // mqtts: a CA of the user's, or null: the system's
	const char *credentials;   // a file: user name, then password, a line each; or null
	const board_names *named;   // boards that alone may be on the broker, when any
};

// Topic-safe id of a name: letters, digits and '-' as they are, every other
// byte as _XX (its hex), '_' included: no two names share one. At most.
constexpr size_t BOARD_ID_MAX = 3 * BOARD_NAME_MAX + 1;
// board_id: the name's id in out; returns its length.
size_t board_id(const char *name, size_t len, char out[BOARD_ID_MAX]);

// Bytes of the broker's host at most.
constexpr size_t HOST_MAX = 256;
// parse_broker: the URL's host (an IPv6 literal without its brackets) and
// port, and whether it is mqtts; false when it is none of the forms.
bool parse_broker(const char *url, char host[HOST_MAX], int *port, bool *tls);

// mqtt_start: reads the settings; false, with what is wrong on stderr, when
// they are wrong. Nothing is connected yet.
bool mqtt_start(const mqtt_settings *s);
// mqtt_connect: from now on a thread of its own connects, and connects
// again after each loss, saying each new cause of failure once on stderr;
// nothing that it waits for (a name, a connect, a broker) holds the caller.
void mqtt_connect();
// mqtt_publish_event: the board's presence and distance after the event,
// and its discovery when it is new; nothing queued while not connected.
void mqtt_publish_event(const event *e);
// mqtt_stop: "offline" on the availability topic once the broker has
// acknowledged everything before it, within a bound, and a clean disconnect.
void mqtt_stop();

#endif
