// Events on MQTT: each board's presence and distance, retained, with Home
// Assistant's discovery, through libmosquitto, in poll-events' own loop.
#ifndef POLL_EVENTS_MQTT_H
#define POLL_EVENTS_MQTT_H

#include "poll_events.h"

struct mqtt_settings {
	const char *url;   // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
	const char *prefix;   // of the state and availability topics
	const char *ca_file;   // mqtts: a CA of the user's, or null: the system's
	const char *credentials;   // a file: user name, then password, a line each; or null
};

// Topic-safe id of a name: letters, digits and '-' as they are, every other
// byte as _XX (its hex), '_' included: no two names share one. At most.
constexpr size_t BOARD_ID_MAX = 3 * BOARD_NAME_MAX + 1;
// board_id: the name's id in out; returns its length.
size_t board_id(const char *name, size_t len, char out[BOARD_ID_MAX]);

// mqtt_start: reads the settings and starts connecting; false, with the
// failed step on stderr, when the settings are wrong.
bool mqtt_start(const mqtt_settings *s);
// mqtt_poll_fd: the broker's socket and the events to poll it for, or -1
// while there is none.
int mqtt_poll_fd(short *events);
// mqtt_service: does what the socket is ready for, keeps the connection
// alive, and connects again after a loss; returns the milliseconds after
// which it wants to be called again.
int mqtt_service(short revents, double now_s);
// mqtt_publish_event: the board's presence and distance after the event,
// and its discovery when it is new; nothing queued while not connected.
void mqtt_publish_event(const event *e);
// mqtt_stop: "offline" on the availability topic, and a clean disconnect.
void mqtt_stop();

#endif
