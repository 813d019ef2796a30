// Events on MQTT through libmosquitto: each board's presence and distance,
// retained, under the prefix; the availability, retained, "offline" also as
// the last will; Home Assistant's discovery when a board is first seen, again
// on every connect and whenever Home Assistant announces itself. A thread of
// its own connects and reads, so that no name lookup, connect or broker ever
// holds the events' loop; the loop only hands messages over. Nothing is
// queued while the broker is away: the state is retained and published whole
// on each connect, when the instance's own retained presences that are no
// longer true are turned off.
#include "mqtt.h"

#include <errno.h>
#include <mosquitto.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char DISCOVERY_PREFIX[] = "homeassistant";
static const char HA_STATUS_TOPIC[] = "homeassistant/status";
static const char DEFAULT_PREFIX_HEAD[] = "poll-events/";
static const char ONLINE[] = "online";
static const char OFFLINE[] = "offline";
static const char ON[] = "ON";
// The system's CAs, as Debian's ca-certificates keeps them for OpenSSL.
// Named as a folder rather than through MOSQ_OPT_TLS_USE_OS_CERTS, which
// libmosquitto 2.0.11 refuses on every connect after the first.
static const char SYSTEM_CA_DIR[] = "/etc/ssl/certs";
static const char OFF[] = "OFF";
constexpr int KEEPALIVE_S = 30;
// Seconds before connecting again after a failure, doubling up to the most:
// a broker back within 10 s is used again within 10 s.
constexpr double RECONNECT_FIRST_S = 1;
constexpr double RECONNECT_MOST_S = 8;
// How long the thread waits for its socket at most before it looks again
// whether to stop.
constexpr int LOOP_MS = 1000;
// At a stop: seconds to wait for the broker's acknowledgements of the last
// messages, and then for the connection to close.
constexpr double STOP_ACKS_S = 3;
constexpr double STOP_CLOSE_S = 2;
// Bytes of the prefix, of a topic, of a device's description, of a discovery
// payload and of a cause of failure, at most.
constexpr size_t PREFIX_MAX = 128;
constexpr size_t TOPIC_MAX = 2 * PREFIX_MAX + 2 * BOARD_ID_MAX + 64;
constexpr size_t DEVICE_MAX = NAME_TEXT_MAX + TOPIC_MAX + PREFIX_MAX + BOARD_ID_MAX + 160;
constexpr size_t PAYLOAD_MAX = DEVICE_MAX + TOPIC_MAX + PREFIX_MAX + BOARD_ID_MAX + 256;
constexpr size_t SECRET_MAX = 256;
constexpr size_t CAUSE_MAX = 256;
// Messages handed to the library and not yet acknowledged, at most: a broker
// that stops reading costs no more memory than that (about a kilobyte each).
// Past it, messages are dropped, and everything is published again once the
// broker has caught up.
constexpr int IN_FLIGHT_MOST = 256;

enum topic_kind {
	TOPIC_STATUS,
	TOPIC_PRESENCE,
	TOPIC_DISTANCE,
	TOPIC_PRESENCE_CONFIG,
	TOPIC_DISTANCE_CONFIG
};
constexpr topic_kind BOARD_TOPICS[] = {
    TOPIC_PRESENCE, TOPIC_DISTANCE, TOPIC_PRESENCE_CONFIG, TOPIC_DISTANCE_CONFIG};

// The connection, as the thread that keeps it sees it.
enum link_state {
	LINK_IDLE,   // no thread yet
	LINK_DOWN,   // between tries
	LINK_WAITING,   // connected, the broker's answer not yet read
	LINK_UP,   // accepted: messages go out
	LINK_ENDED,   // the thread is done
};

// One board as the broker knows it.
struct mqtt_board {
	char name[BOARD_NAME_MAX];
	size_t name_len;
	char id[BOARD_ID_MAX];
	bool present;
	double distance_m;
	unsigned long long last_event;   // its last event's number, for putting out the oldest
};

// Guards M between the events' loop and the connection's thread.
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
// Signalled when the link, the messages in flight or the stop change.
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;

static struct {
	struct mosquitto *mosq;
	pthread_t thread;
	char host[HOST_MAX];
	int port;
	char prefix[PREFIX_MAX];
	char unique[PREFIX_MAX];   // the prefix as a Home Assistant id, and the client's id
	link_state link;
	bool stopping;
	bool behind;   // a message dropped at IN_FLIGHT_MOST: all again once caught up
	int in_flight;
	char cause[CAUSE_MAX];   // the failure said last; empty while none
	char refusal[CAUSE_MAX];   // the broker's refusal
	mqtt_board boards[MAX_BOARDS];
	size_t n_boards;
	unsigned long long events;
	char named_ids[MAX_BOARDS][BOARD_ID_MAX];
	size_t n_named;
} M;

// id_byte: true for the bytes that an id keeps as they are.
static bool
id_byte(unsigned char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	    c == '-';
}

size_t
board_id(const char *name, size_t len, char out[BOARD_ID_MAX])
{
	static const char HEX[] = "0123456789abcdef";
	size_t n = 0;
	for (size_t i = 0; i < len; i++) {
		unsigned char c = static_cast<unsigned char>(name[i]);
		if (id_byte(c)) {
			out[n++] = static_cast<char>(c);
		} else {
			out[n++] = '_';
			out[n++] = HEX[c >> 4];
			out[n++] = HEX[c & 0xf];
		}
	}
	out[n] = '\0';
	return n;
}

// topic_of: the topic of that kind, of the board with that id (or none).
static void
topic_of(topic_kind kind, const char *id, char out[TOPIC_MAX])
{
	switch (kind) {
	case TOPIC_STATUS:
		snprintf(out, TOPIC_MAX, "%s/status", M.prefix);
		break;
	case TOPIC_PRESENCE:
		snprintf(out, TOPIC_MAX, "%s/%s/presence", M.prefix, id);
		break;
	case TOPIC_DISTANCE:
		snprintf(out, TOPIC_MAX, "%s/%s/distance", M.prefix, id);
		break;
	case TOPIC_PRESENCE_CONFIG:
		snprintf(out, TOPIC_MAX, "%s/binary_sensor/%s_%s/presence/config", DISCOVERY_PREFIX,
		    M.unique, id);
		break;
	case TOPIC_DISTANCE_CONFIG:
		snprintf(out, TOPIC_MAX, "%s/sensor/%s_%s/distance/config", DISCOVERY_PREFIX,
		    M.unique, id);
		break;
	}
}

// publish: one message, QoS 1, with the lock held; dropped unless the broker
// has accepted the connection and reads what it is sent.
static void
publish(topic_kind kind, const char *id, const char *payload, bool retain)
{
	if (M.link != LINK_UP)
		return;
	if (M.in_flight >= IN_FLIGHT_MOST) {
		M.behind = true;
		return;
	}
	char topic[TOPIC_MAX];
	topic_of(kind, id, topic);
	if (mosquitto_publish(M.mosq, nullptr, topic, static_cast<int>(strlen(payload)), payload, 1,
	        retain) == MOSQ_ERR_SUCCESS)
		M.in_flight++;
}

// publish_state: the board's presence and distance, retained.
static void
publish_state(const mqtt_board *b)
{
	char value[32];
	publish(TOPIC_PRESENCE, b->id, b->present ? ON : OFF, true);
	snprintf(value, sizeof value, "%.6f", b->distance_m);
	publish(TOPIC_DISTANCE, b->id, value, true);
}

// publish_discovery: the board as a Home Assistant device with an occupancy
// and a distance sensor, retained.
static void
publish_discovery(const mqtt_board *b)
{
	char name[NAME_TEXT_MAX], status[TOPIC_MAX], presence[TOPIC_MAX], distance[TOPIC_MAX];
	name[escape_name(b->name, b->name_len, true, name)] = '\0';
	topic_of(TOPIC_STATUS, nullptr, status);
	topic_of(TOPIC_PRESENCE, b->id, presence);
	topic_of(TOPIC_DISTANCE, b->id, distance);
	char device[DEVICE_MAX], payload[PAYLOAD_MAX];
	snprintf(device, sizeof device,
	    "\"availability_topic\":\"%s\",\"device\":{\"identifiers\":[\"%s_%s\"],\"name\":\"%s\","
	    "\"manufacturer\":\"poll-client\",\"model\":\"sensor board\"}",
	    status, M.unique, b->id, name);
	snprintf(payload, sizeof payload,
	    "{\"name\":\"Presence\",\"unique_id\":\"%s_%s_presence\",\"device_class\":"
	    "\"occupancy\",\"state_topic\":\"%s\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",%"
	    "s}",
	    M.unique, b->id, presence, device);
	publish(TOPIC_PRESENCE_CONFIG, b->id, payload, true);
	snprintf(payload, sizeof payload,
	    "{\"name\":\"Distance\",\"unique_id\":\"%s_%s_distance\",\"device_class\":\"distance\","
	    "\"unit_of_measurement\":\"m\",\"state_class\":\"measurement\",\"state_topic\":\"%s\","
	    "%s}",
	    M.unique, b->id, distance, device);
	publish(TOPIC_DISTANCE_CONFIG, b->id, payload, true);
}

// clear_board: the board's retained discovery and state removed, so that
// Home Assistant keeps no device of it.
static void
clear_board(const char *id)
{
	for (topic_kind kind : BOARD_TOPICS)
		publish(kind, id, "", true);
}

// publish_all: the availability, and every known board's discovery and state.
static void
publish_all()
{
	publish(TOPIC_STATUS, nullptr, ONLINE, true);
	for (size_t i = 0; i < M.n_boards; i++) {
		publish_discovery(&M.boards[i]);
		publish_state(&M.boards[i]);
	}
}

// find_id: the known board of that id, or null.
static mqtt_board *
find_id(const char *id, size_t len)
{
	for (size_t i = 0; i < M.n_boards; i++)
		if (strlen(M.boards[i].id) == len && memcmp(M.boards[i].id, id, len) == 0)
			return &M.boards[i];
	return nullptr;
}

// is_named_id: true when no board is named, or the id is a named board's.
static bool
is_named_id(const char *id, size_t len)
{
	for (size_t i = 0; i < M.n_named; i++)
		if (strlen(M.named_ids[i]) == len && memcmp(M.named_ids[i], id, len) == 0)
			return true;
	return M.n_named == 0;
}

// say_cause: a failure on stderr, once for as long as it stays the same.
static void
say_cause(const char *cause)
{
	if (strcmp(cause, M.cause) == 0)
		return;
	snprintf(M.cause, sizeof M.cause, "%s", cause);
	fprintf(stderr, "poll-events: mqtt: %s port %d: %s\n", M.host, M.port, cause);
}

static void
on_connect(struct mosquitto *mosq, void * /*data*/, int rc)
{
	pthread_mutex_lock(&lock);
	if (rc != 0) {
		snprintf(M.refusal, sizeof M.refusal, "%s", mosquitto_connack_string(rc));
	} else {
		if (M.cause[0] != '\0')
			fprintf(
			    stderr, "poll-events: mqtt: %s port %d: connected\n", M.host, M.port);
		M.cause[0] = '\0';
		M.link = LINK_UP;
		M.in_flight = 0;
		M.behind = false;
		char own[TOPIC_MAX];
		topic_of(TOPIC_PRESENCE, "+", own);
		mosquitto_subscribe(mosq, nullptr, HA_STATUS_TOPIC, 1);
		mosquitto_subscribe(mosq, nullptr, own, 1);
		publish_all();
		pthread_cond_broadcast(&changed);
	}
	pthread_mutex_unlock(&lock);
}

static void
on_publish(struct mosquitto * /*mosq*/, void * /*data*/, int /*mid*/)
{
	pthread_mutex_lock(&lock);
	if (M.in_flight > 0 && --M.in_flight == 0) {
		pthread_cond_broadcast(&changed);
		if (M.behind) {
			M.behind = false;
			publish_all();
		}
	}
	pthread_mutex_unlock(&lock);
}

// take_own_presence: a retained presence of this instance's from before its
// start: ON for a board that is not near now (a crash, a power loss) is
// turned OFF; a board that is not named loses its retained messages.
static void
take_own_presence(const char *id, size_t len, const mosquitto_message *msg)
{
	if (msg->payloadlen == 0 || len == 0 || len >= BOARD_ID_MAX || memchr(id, '/', len))
		return;
	char own[BOARD_ID_MAX];
	memcpy(own, id, len);
	own[len] = '\0';
	const mqtt_board *b = find_id(id, len);
	if (!is_named_id(id, len))
		clear_board(own);
	else if (msg->payloadlen == static_cast<int>(sizeof ON - 1) &&
	    memcmp(msg->payload, ON, sizeof ON - 1) == 0 && (b == nullptr || !b->present))
		publish(TOPIC_PRESENCE, own, OFF, true);
}

static void
on_message(struct mosquitto * /*mosq*/, void * /*data*/, const struct mosquitto_message *msg)
{
	size_t prefix_len = strlen(M.prefix), len = strlen(msg->topic);
	static const char PRESENCE_TAIL[] = "/presence";
	const size_t tail = sizeof PRESENCE_TAIL - 1;
	pthread_mutex_lock(&lock);
	if (strcmp(msg->topic, HA_STATUS_TOPIC) == 0) {
		// Home Assistant, started again, asks for the discovery anew.
		if (msg->payloadlen == static_cast<int>(sizeof ONLINE - 1) &&
		    memcmp(msg->payload, ONLINE, sizeof ONLINE - 1) == 0)
			publish_all();
	} else if (msg->retain && len > prefix_len + 1 + tail &&
	    memcmp(msg->topic, M.prefix, prefix_len) == 0 && msg->topic[prefix_len] == '/' &&
	    strcmp(msg->topic + len - tail, PRESENCE_TAIL) == 0) {
		take_own_presence(msg->topic + prefix_len + 1, len - prefix_len - 1 - tail, msg);
	}
	pthread_mutex_unlock(&lock);
}

// The library's last error line on this thread: the connection's thread
// reads its own, with no lock, as the library may log from a call made with
// the lock held.
static thread_local char last_error[CAUSE_MAX];

static void
on_log(struct mosquitto * /*mosq*/, void * /*data*/, int level, const char *text)
{
	if (level & MOSQ_LOG_ERR)
		snprintf(last_error, sizeof last_error, "%s", text);
}

// cause_of: why a connection ended or could not be made, from the library's
// code, errno, and the refusal or error line that came with it.
static const char *
cause_of(int rc, int err, link_state reached)
{
	switch (rc) {
	case MOSQ_ERR_ERRNO:
		return strerror(err);
	case MOSQ_ERR_EAI:
		return gai_strerror(err);
	case MOSQ_ERR_TLS:
		return last_error[0] != '\0' ? last_error : mosquitto_strerror(rc);
	case MOSQ_ERR_CONN_REFUSED:
		return M.refusal[0] != '\0' ? M.refusal : mosquitto_strerror(rc);
	default:
		if (reached == LINK_WAITING)
			return "closed before the broker accepted it (mqtt:// to a TLS port?)";
		return mosquitto_strerror(rc);
	}
}

// wait_changed: waits with the lock held until something changes or the
// seconds have passed.
static void
wait_changed(double seconds_left)
{
	timespec until;
	clock_gettime(CLOCK_REALTIME, &until);
	double end = static_cast<double>(until.tv_nsec) / 1e9 + seconds_left;
	until.tv_sec += static_cast<time_t>(end);
	until.tv_nsec =
	    static_cast<long>((end - static_cast<double>(static_cast<time_t>(end))) * 1e9);
	pthread_cond_timedwait(&changed, &lock, &until);
}

// keep_connected: the connection's thread: connects, reads and writes until
// the connection ends, says why, pauses, and again, until the stop.
static void *
keep_connected(void * /*unused*/)
{
	double pause_s = RECONNECT_FIRST_S;
	pthread_mutex_lock(&lock);
	while (!M.stopping) {
		M.refusal[0] = last_error[0] = '\0';
		pthread_mutex_unlock(&lock);
		int rc = mosquitto_connect(M.mosq, M.host, M.port, KEEPALIVE_S);
		int err = errno;
		pthread_mutex_lock(&lock);
		link_state reached = LINK_DOWN;
		if (rc == MOSQ_ERR_SUCCESS) {
			M.link = LINK_WAITING;
			bool bye = false;
			while (rc == MOSQ_ERR_SUCCESS) {
				if (M.stopping && !bye) {
					mosquitto_disconnect(M.mosq);
					bye = true;
				}
				pthread_mutex_unlock(&lock);
				rc = mosquitto_loop(M.mosq, LOOP_MS, 1);
				err = errno;
				pthread_mutex_lock(&lock);
			}
			reached = M.link;
			M.link = LINK_DOWN;
			pthread_cond_broadcast(&changed);
		}
		if (M.stopping)
			break;
		if (reached == LINK_UP)
			pause_s = RECONNECT_FIRST_S;
		say_cause(cause_of(rc, err, reached));
		wait_changed(pause_s);
		pause_s = pause_s * 2 > RECONNECT_MOST_S ? RECONNECT_MOST_S : pause_s * 2;
	}
	M.link = LINK_ENDED;
	pthread_cond_broadcast(&changed);
	pthread_mutex_unlock(&lock);
	return nullptr;
}

// read_credentials: the user name and password, a line each, from the file
// or from systemd's credential "mqtt"; false when a named file cannot be read.
static bool
read_credentials(const char *file, char user[SECRET_MAX], char password[SECRET_MAX])
{
	char path[4096];
	const char *dir = getenv("CREDENTIALS_DIRECTORY");
	if (file == nullptr && dir != nullptr) {
		snprintf(path, sizeof path, "%s/mqtt", dir);
		if (access(path, R_OK) == 0)
			file = path;
	}
	user[0] = password[0] = '\0';
	if (file == nullptr)
		return true;
	FILE *f = fopen(file, "r");
	if (f == nullptr) {
		perror(file);
		return false;
	}
	if (fgets(user, SECRET_MAX, f) == nullptr || fgets(password, SECRET_MAX, f) == nullptr)
		password[0] = '\0';
	fclose(f);
	user[strcspn(user, "\r\n")] = '\0';
	password[strcspn(password, "\r\n")] = '\0';
	return true;
}

// set_prefix: the prefix, or poll-events/HOSTNAME, and its id; false when it
// is no topic that MQTT takes.
static bool
set_prefix(const char *prefix)
{
	if (prefix == nullptr) {
		char host[HOST_MAX] = "";
		gethostname(host, sizeof host - 1);
		snprintf(M.prefix, sizeof M.prefix, "%s%s", DEFAULT_PREFIX_HEAD, host);
	} else if (strlen(prefix) < PREFIX_MAX) {
		snprintf(M.prefix, sizeof M.prefix, "%s", prefix);
	} else {
		M.prefix[0] = '\0';
	}
	size_t len = strlen(M.prefix);
	if (len == 0 || mosquitto_pub_topic_check(M.prefix) != MOSQ_ERR_SUCCESS ||
	    mosquitto_validate_utf8(M.prefix, static_cast<int>(len)) != MOSQ_ERR_SUCCESS) {
		fprintf(stderr,
		    "poll-events: mqtt: the prefix must be a topic of 1 to %zu bytes, UTF-8, "
		    "without + or #\n",
		    PREFIX_MAX - 1);
		return false;
	}
	for (size_t i = 0; i <= len; i++)
		M.unique[i] = i == len || id_byte(static_cast<unsigned char>(M.prefix[i]))
		    ? M.prefix[i]
		    : '_';
	return true;
}

bool
mqtt_start(const mqtt_settings *s)
{
	bool tls;
	if (!parse_broker(s->url, M.host, &M.port, &tls)) {
		fprintf(stderr,
		    "poll-events: mqtt: not mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (HOST may be "
		    "[IPv6]): %s\n",
		    s->url);
		return false;
	}
	if (!set_prefix(s->prefix))
		return false;
	for (size_t i = 0; i < s->named->n; i++)
		board_id(s->named->names[i], s->named->lens[i], M.named_ids[i]);
	M.n_named = s->named->n;
	char user[SECRET_MAX], password[SECRET_MAX];
	if (!read_credentials(s->credentials, user, password))
		return false;
	mosquitto_lib_init();
	M.mosq = mosquitto_new(M.unique, true, nullptr);
	if (M.mosq == nullptr) {
		perror("poll-events: mqtt");
		return false;
	}
	char topic[TOPIC_MAX];
	topic_of(TOPIC_STATUS, nullptr, topic);
	int rc = mosquitto_threaded_set(M.mosq, true);
	if (rc == MOSQ_ERR_SUCCESS)
		rc = mosquitto_will_set(M.mosq, topic, sizeof OFFLINE - 1, OFFLINE, 1, true);
	if (rc == MOSQ_ERR_SUCCESS && user[0] != '\0')
		rc = mosquitto_username_pw_set(M.mosq, user, password);
	if (rc == MOSQ_ERR_SUCCESS && tls) {
		rc = mosquitto_tls_set(M.mosq, s->ca_file,
		    s->ca_file == nullptr ? SYSTEM_CA_DIR : nullptr, nullptr, nullptr, nullptr);
	}
	explicit_bzero(password, sizeof password);
	if (rc == MOSQ_ERR_NOT_SUPPORTED && tls) {
		// The static builds' libmosquitto has no TLS library to speak it.
		fputs(
		    "poll-events: mqtt: built without TLS: mqtts:// cannot be used, mqtt:// can\n",
		    stderr);
		return false;
	}
	if (rc != MOSQ_ERR_SUCCESS) {
		fprintf(stderr, "poll-events: mqtt: %s\n", mosquitto_strerror(rc));
		return false;
	}
	mosquitto_connect_callback_set(M.mosq, on_connect);
	mosquitto_publish_callback_set(M.mosq, on_publish);
	mosquitto_message_callback_set(M.mosq, on_message);
	mosquitto_log_callback_set(M.mosq, on_log);
	return true;
}

void
mqtt_connect()
{
	if (M.mosq == nullptr)
		return;
	// The thread takes no signal: they are the events' loop's, to wake it.
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	M.link = LINK_DOWN;
	if (pthread_create(&M.thread, nullptr, keep_connected, nullptr) != 0) {
		M.link = LINK_IDLE;
		fputs("poll-events: mqtt: cannot start its thread\n", stderr);
	}
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// known_board: the broker's record of the event's board: found, or made
// (the place of the board whose last event is oldest, absent first, put out
// and cleared from the broker, once MAX_BOARDS are known); is_new says which.
static mqtt_board *
known_board(const event *e, bool *is_new)
{
	*is_new = false;
	mqtt_board *oldest = nullptr;
	for (size_t i = 0; i < M.n_boards; i++) {
		mqtt_board *b = &M.boards[i];
		if (b->name_len == e->board_len && memcmp(b->name, e->board, e->board_len) == 0)
			return b;
		if (oldest == nullptr || (oldest->present && !b->present) ||
		    (oldest->present == b->present && b->last_event < oldest->last_event))
			oldest = b;
	}
	*is_new = true;
	mqtt_board *b = oldest;
	if (M.n_boards < MAX_BOARDS)
		b = &M.boards[M.n_boards++];
	else
		clear_board(b->id);
	memcpy(b->name, e->board, e->board_len);
	b->name_len = e->board_len;
	board_id(e->board, e->board_len, b->id);
	return b;
}

void
mqtt_publish_event(const event *e)
{
	if (M.mosq == nullptr)
		return;
	pthread_mutex_lock(&lock);
	bool is_new;
	mqtt_board *b = known_board(e, &is_new);
	b->present = e->kind != EVENT_GONE;
	b->distance_m = e->distance_m;
	b->last_event = ++M.events;
	if (is_new)
		publish_discovery(b);
	publish_state(b);
	pthread_mutex_unlock(&lock);
}

// acked: true once nothing is in flight, or the link is down.
static bool
acked()
{
	return M.in_flight == 0 || M.link != LINK_UP;
}

// ended: true once the connection's thread is done, or was never started.
static bool
ended()
{
	return M.link == LINK_ENDED || M.link == LINK_IDLE;
}

// wait_until: waits with the lock held until done() or the seconds have passed.
static void
wait_until(bool (*done)(), double seconds)
{
	timespec start, now;
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (double left = seconds; !done() && left > 0;) {
		wait_changed(left);
		clock_gettime(CLOCK_MONOTONIC, &now);
		left = seconds - static_cast<double>(now.tv_sec - start.tv_sec) -
		    static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
	}
}

void
mqtt_stop()
{
	if (M.mosq == nullptr)
		return;
	pthread_mutex_lock(&lock);
	if (M.link == LINK_UP) {
		// Everything before it, every board's OFF included, then offline,
		// read by the broker, as its acknowledgements say, before the
		// disconnect: a socket closed with data unread is reset, and the
		// broker drops what it had not yet read.
		publish(TOPIC_STATUS, nullptr, OFFLINE, true);
		wait_until(acked, STOP_ACKS_S);
	}
	M.stopping = true;
	if (M.link == LINK_UP || M.link == LINK_WAITING)
		mosquitto_disconnect(M.mosq);
	pthread_cond_broadcast(&changed);
	wait_until(ended, STOP_CLOSE_S);
	link_state link = M.link;
	pthread_mutex_unlock(&lock);
	// A thread still in a name lookup or a connect is left to the exit.
	if (link != LINK_ENDED && link != LINK_IDLE)
		return;
	if (link == LINK_ENDED)
		pthread_join(M.thread, nullptr);
	mosquitto_destroy(M.mosq);
	mosquitto_lib_cleanup();
	M.mosq = nullptr;
}
