// Events on MQTT through libmosquitto, driven by poll-events' own poll loop
// (one thread): each board's presence and distance, retained, under the
// prefix; the availability, retained, "offline" also as the last will; Home
// Assistant's discovery when a board is first seen, again on every connect
// and whenever Home Assistant announces itself. Nothing is queued while the
// broker is away: the state is retained and published whole on reconnect.
#include "mqtt.h"

#include <mosquitto.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char DISCOVERY_PREFIX[] = "homeassistant";
static const char HA_STATUS_TOPIC[] = "homeassistant/status";
static const char ONLINE[] = "online";
static const char OFFLINE[] = "offline";
constexpr int MQTT_PORT = 1883;
constexpr int MQTTS_PORT = 8883;
constexpr int KEEPALIVE_S = 30;
// Seconds before connecting again after a loss, doubling up to the most: a
// broker back within 10 s is used again within 10 s.
constexpr double RECONNECT_FIRST_S = 1;
constexpr double RECONNECT_MOST_S = 8;
// How often the loop wants the library's keepalive work done.
constexpr int SERVICE_MS = 1000;
// Bytes of the prefix, of a topic, of a device's description and of a
// discovery payload, at most.
constexpr size_t PREFIX_MAX = 128;
constexpr size_t TOPIC_MAX = 2 * PREFIX_MAX + 2 * BOARD_ID_MAX + 64;
constexpr size_t DEVICE_MAX = NAME_TEXT_MAX + 2 * PREFIX_MAX + BOARD_ID_MAX + 160;
constexpr size_t PAYLOAD_MAX = DEVICE_MAX + 2 * PREFIX_MAX + 3 * BOARD_ID_MAX + 256;
constexpr size_t HOST_MAX = 256;
constexpr size_t SECRET_MAX = 256;
// Messages handed to the library while its socket takes none, at most: a
// broker that went away unnoticed costs no more memory than that; the state
// is retained, and published whole again on the next connect.
constexpr int PENDING_MOST = 1024;

// One board as the broker knows it; the first MAX_BOARDS boards seen, so that
// invented names flood neither the broker nor Home Assistant.
struct mqtt_board {
	char name[BOARD_NAME_MAX];
	size_t name_len;
	char id[BOARD_ID_MAX];
	bool present;
	double distance_m;
};

static struct {
	struct mosquitto *mosq;
	char prefix[PREFIX_MAX];
	char unique[PREFIX_MAX];   // the prefix as a Home Assistant id
	bool connected;
	bool connecting;
	bool refused;   // the broker said no: connect again after the pause too
	int pending;
	double retry_at_s;
	double retry_s;
	mqtt_board boards[MAX_BOARDS];
	size_t n_boards;
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

// publish: one message, QoS 1; dropped while not connected.
static void
publish(const char *topic, const char *payload, bool retain)
{
	if (!M.connected || M.pending >= PENDING_MOST)
		return;
	if (mosquitto_publish(M.mosq, nullptr, topic, static_cast<int>(strlen(payload)), payload, 1,
	        retain) == MOSQ_ERR_SUCCESS)
		M.pending++;
}

// publish_state: the board's presence and distance, retained.
static void
publish_state(const mqtt_board *b)
{
	char topic[TOPIC_MAX], value[32];
	snprintf(topic, sizeof topic, "%s/%s/presence", M.prefix, b->id);
	publish(topic, b->present ? "ON" : "OFF", true);
	snprintf(topic, sizeof topic, "%s/%s/distance", M.prefix, b->id);
	snprintf(value, sizeof value, "%.6f", b->distance_m);
	publish(topic, value, true);
}

// publish_discovery: the board as a Home Assistant device with an occupancy
// and a distance sensor, retained.
static void
publish_discovery(const mqtt_board *b)
{
	char name[NAME_TEXT_MAX];
	name[escape_name(b->name, b->name_len, true, name)] = '\0';
	char device[DEVICE_MAX];
	snprintf(device, sizeof device,
	    "\"availability_topic\":\"%s/"
	    "status\",\"device\":{\"identifiers\":[\"%s_%s\"],\"name\":\"%s\","
	    "\"manufacturer\":\"poll-client\",\"model\":\"sensor board\"}",
	    M.prefix, M.unique, b->id, name);
	char topic[TOPIC_MAX], payload[PAYLOAD_MAX];
	snprintf(topic, sizeof topic, "%s/binary_sensor/%s_%s/presence/config", DISCOVERY_PREFIX,
	    M.unique, b->id);
	snprintf(payload, sizeof payload,
	    "{\"name\":\"Presence\",\"unique_id\":\"%s_%s_presence\",\"device_class\":"
	    "\"occupancy\","
	    "\"state_topic\":\"%s/%s/presence\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",%s}",
	    M.unique, b->id, M.prefix, b->id, device);
	publish(topic, payload, true);
	snprintf(topic, sizeof topic, "%s/sensor/%s_%s/distance/config", DISCOVERY_PREFIX, M.unique,
	    b->id);
	snprintf(payload, sizeof payload,
	    "{\"name\":\"Distance\",\"unique_id\":\"%s_%s_distance\",\"device_class\":\"distance\","
	    "\"unit_of_measurement\":\"m\",\"state_class\":\"measurement\",\"state_topic\":\"%s/%s/"
	    "distance\",%s}",
	    M.unique, b->id, M.prefix, b->id, device);
	publish(topic, payload, true);
}

// publish_all: the availability, and every known board's discovery and state.
static void
publish_all()
{
	char topic[TOPIC_MAX];
	snprintf(topic, sizeof topic, "%s/status", M.prefix);
	publish(topic, ONLINE, true);
	for (size_t i = 0; i < M.n_boards; i++) {
		publish_discovery(&M.boards[i]);
		publish_state(&M.boards[i]);
	}
}

static void
on_connect(struct mosquitto *mosq, void * /*data*/, int rc)
{
	M.connecting = false;
	M.pending = 0;
	if (rc != 0) {
		fprintf(stderr, "poll-events: mqtt: the broker refused: %s\n",
		    mosquitto_connack_string(rc));
		M.refused = true;
		return;
	}
	M.connected = true;
	M.retry_s = RECONNECT_FIRST_S;
	mosquitto_subscribe(mosq, nullptr, HA_STATUS_TOPIC, 1);
	publish_all();
}

static void
on_message(struct mosquitto * /*mosq*/, void * /*data*/, const struct mosquitto_message *msg)
{
	// Home Assistant, started again, asks for the discovery anew.
	if (strcmp(msg->topic, HA_STATUS_TOPIC) == 0 &&
	    msg->payloadlen == static_cast<int>(sizeof ONLINE - 1) &&
	    memcmp(msg->payload, ONLINE, sizeof ONLINE - 1) == 0)
		publish_all();
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

bool
mqtt_start(const mqtt_settings *s)
{
	bool tls = strncmp(s->url, "mqtts://", 8) == 0;
	if (!tls && strncmp(s->url, "mqtt://", 7) != 0) {
		fprintf(stderr,
		    "poll-events: mqtt: not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: %s\n",
		    s->url);
		return false;
	}
	char host[HOST_MAX];
	snprintf(host, sizeof host, "%s", s->url + (tls ? 8 : 7));
	int port = tls ? MQTTS_PORT : MQTT_PORT;
	char *colon = strrchr(host, ':');
	if (colon != nullptr) {
		*colon = '\0';
		char *end;
		long p = strtol(colon + 1, &end, 10);
		port = *end == '\0' && p > 0 && p <= 65535 ? static_cast<int>(p) : 0;
	}
	if (host[0] == '\0' || port <= 0 || port > 65535) {
		fprintf(stderr, "poll-events: mqtt: no host or port in %s\n", s->url);
		return false;
	}
	if (strlen(s->prefix) >= PREFIX_MAX || s->prefix[0] == '\0' ||
	    strpbrk(s->prefix, "+#") != nullptr) {
		fprintf(stderr,
		    "poll-events: mqtt: the prefix must be 1 to %zu bytes, without + or #\n",
		    PREFIX_MAX - 1);
		return false;
	}
	snprintf(M.prefix, sizeof M.prefix, "%s", s->prefix);
	for (size_t i = 0; M.prefix[i] != '\0'; i++) {
		char c = M.prefix[i];
		M.unique[i] = id_byte(static_cast<unsigned char>(c)) ? c : '_';
		M.unique[i + 1] = '\0';
	}
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
	snprintf(topic, sizeof topic, "%s/status", M.prefix);
	int rc = mosquitto_will_set(M.mosq, topic, sizeof OFFLINE - 1, OFFLINE, 1, true);
	if (rc == MOSQ_ERR_SUCCESS && user[0] != '\0')
		rc = mosquitto_username_pw_set(M.mosq, user, password);
	if (rc == MOSQ_ERR_SUCCESS && tls) {
		if (s->ca_file == nullptr)
			rc = mosquitto_int_option(M.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
		else
			rc = mosquitto_tls_set(
			    M.mosq, s->ca_file, nullptr, nullptr, nullptr, nullptr);
	}
	explicit_bzero(password, sizeof password);
	if (rc != MOSQ_ERR_SUCCESS) {
		fprintf(stderr, "poll-events: mqtt: %s\n", mosquitto_strerror(rc));
		return false;
	}
	mosquitto_connect_callback_set(M.mosq, on_connect);
	mosquitto_message_callback_set(M.mosq, on_message);
	M.retry_s = RECONNECT_FIRST_S;
	M.connecting = mosquitto_connect_async(M.mosq, host, port, KEEPALIVE_S) == MOSQ_ERR_SUCCESS;
	M.retry_at_s = 0;
	return true;
}

int
mqtt_poll_fd(short *events)
{
	if (M.mosq == nullptr)
		return -1;
	int fd = mosquitto_socket(M.mosq);
	*events = static_cast<short>(POLLIN | (mosquitto_want_write(M.mosq) ? POLLOUT : 0));
	return fd;
}

// schedule_retry: the next try to connect, after a pause that doubles up to
// the most.
static void
schedule_retry(double now_s)
{
	M.retry_at_s = now_s + M.retry_s;
	M.retry_s = M.retry_s * 2 > RECONNECT_MOST_S ? RECONNECT_MOST_S : M.retry_s * 2;
}

int
mqtt_service(short revents, double now_s)
{
	if (M.mosq == nullptr)
		return -1;
	int rc = MOSQ_ERR_SUCCESS;
	if (mosquitto_socket(M.mosq) >= 0) {
		if (revents & POLLIN)
			rc = mosquitto_loop_read(M.mosq, 1);
		if (rc == MOSQ_ERR_SUCCESS && (revents & POLLOUT))
			rc = mosquitto_loop_write(M.mosq, 1);
		if (rc == MOSQ_ERR_SUCCESS)
			rc = mosquitto_loop_misc(M.mosq);
		if (!mosquitto_want_write(M.mosq))
			M.pending = 0;
	} else {
		rc = MOSQ_ERR_NO_CONN;
	}
	if ((rc != MOSQ_ERR_SUCCESS && (M.connected || M.connecting)) || M.refused) {
		// Lost or refused: a new connection after a pause, the state
		// published again then.
		M.connected = M.connecting = M.refused = false;
		schedule_retry(now_s);
	}
	if (!M.connected && !M.connecting && now_s >= M.retry_at_s) {
		M.connecting = mosquitto_reconnect_async(M.mosq) == MOSQ_ERR_SUCCESS;
		if (!M.connecting)
			schedule_retry(now_s);
	}
	return SERVICE_MS;
}

void
mqtt_publish_event(const event *e)
{
	if (M.mosq == nullptr)
		return;
	mqtt_board *b = nullptr;
	for (size_t i = 0; i < M.n_boards && b == nullptr; i++)
		if (M.boards[i].name_len == e->board_len &&
		    memcmp(M.boards[i].name, e->board, e->board_len) == 0)
			b = &M.boards[i];
	bool is_new = b == nullptr;
	if (is_new) {
		if (M.n_boards == MAX_BOARDS)
			return;
		b = &M.boards[M.n_boards++];
		memcpy(b->name, e->board, e->board_len);
		b->name_len = e->board_len;
		board_id(e->board, e->board_len, b->id);
	}
	b->present = e->kind != EVENT_GONE;
	b->distance_m = e->distance_m;
	if (is_new)
		publish_discovery(b);
	publish_state(b);
}

void
mqtt_stop()
{
	if (M.mosq == nullptr)
		return;
	if (M.connected) {
		char topic[TOPIC_MAX];
		snprintf(topic, sizeof topic, "%s/status", M.prefix);
		publish(topic, OFFLINE, true);
		// What is queued goes out, then the disconnect, within a bound.
		for (int i = 0; i < 100 && mosquitto_want_write(M.mosq); i++)
			if (mosquitto_loop_write(M.mosq, 1) != MOSQ_ERR_SUCCESS)
				break;
		mosquitto_disconnect(M.mosq);
		mosquitto_loop_write(M.mosq, 1);
	}
	mosquitto_destroy(M.mosq);
	mosquitto_lib_cleanup();
	M.mosq = nullptr;
}
