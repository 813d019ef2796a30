// The broker's URL: mqtt:// or mqtts://, a host name, an IPv4 address or an
// IPv6 one in brackets, and a port.
#include <stdlib.h>
#include <string.h>

#include "mqtt.h"

bool
parse_broker(const char *url, char host[HOST_MAX], int *port, bool *tls)
{
	constexpr int MQTT_PORT = 1883, MQTTS_PORT = 8883, PORT_MOST = 65535;
	*tls = strncmp(url, "mqtts://", 8) == 0;
	if (!*tls && strncmp(url, "mqtt://", 7) != 0)
		return false;
	const char *rest = url + (*tls ? 8 : 7), *end, *port_text = nullptr;
	if (rest[0] == '[') {
		// An IPv6 literal: its colons are not the port's.
		rest++;
		end = strchr(rest, ']');
		if (end == nullptr || (end[1] != '\0' && end[1] != ':'))
			return false;
		if (end[1] == ':')
			port_text = end + 2;
	} else {
		end = strchr(rest, ':');
		if (end != nullptr)
			port_text = end + 1;
		else
			end = rest + strlen(rest);
	}
	size_t len = static_cast<size_t>(end - rest);
	if (len == 0 || len >= HOST_MAX)
		return false;
	memcpy(host, rest, len);
	host[len] = '\0';
	*port = *tls ? MQTTS_PORT : MQTT_PORT;
	if (port_text != nullptr) {
		char *after;
		long p = strtol(port_text, &after, 10);
		if (after == port_text || *after != '\0' || p <= 0 || p > PORT_MOST)
			return false;
		*port = static_cast<int>(p);
	}
	return true;
}
