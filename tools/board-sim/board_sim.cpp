// board-sim: a simulated sensor board that answers "DATA\n" polls over UDP.
//
// It answers every request datagram with "<name> <distance>" sent to the
// request's source address and port, and ignores every other datagram.
#include <arpa/inet.h>
#include <errno.h>
#include <math.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

constexpr const char REQUEST[] = "DATA\n";
constexpr size_t REQUEST_LEN = sizeof REQUEST - 1;
constexpr int DEFAULT_PORT = 5000;
constexpr size_t MAX_REPLIES = 64;   // distances or raw replies to cycle through
constexpr size_t MAX_DATAGRAM = 2048;   // bytes of a reply or of a received datagram
constexpr int EXIT_USAGE = 2;

struct reply {
	unsigned char bytes[MAX_DATAGRAM];
	size_t len;
};

struct moving_object {
	double near_m;
	double far_m;
	double period_s;   // one approach and one retreat
	bool on;
};

struct options {
	const char *name = "b1";
	int port = DEFAULT_PORT;
	const char *distances[MAX_REPLIES];
	size_t n_distances = 0;
	reply raw[MAX_REPLIES];
	size_t n_raw = 0;
	moving_object moving = {};
	long delay_ms = 0;
	long count = -1;   // requests to answer; -1 answers for ever
	long ignore = 0;   // the request (from 1) to leave unanswered, as if lost; 0: none
	bool log = false;
};

static options opt;

static const char USAGE[] =
    "usage: board-sim [options]\n"
    "Answers each UDP datagram \"DATA\\n\" with \"<name> <distance>\".\n"
    "  --name NAME          board name (default b1)\n"
    "  --port PORT          UDP port to listen on (default 5000)\n"
    "  --distance TEXT      distance text to answer; repeat to cycle per request\n"
    "                       (sent as given, so malformed values can be tested)\n"
    "  --moving NEAR,FAR,S  an object moving from FAR to NEAR and back every S seconds\n"
    "  --reply-hex HEX      raw reply bytes instead of name and distance; repeatable\n"
    "  --delay MS           wait MS milliseconds before each answer\n"
    "  --count N            answer N requests, then exit at the next request\n"
    "                       (which shows the client has taken the Nth reply)\n"
    "  --ignore K           leave the Kth request unanswered, as if it were lost\n"
    "  --log                one line per received datagram on stderr: source,\n"
    "                       destination address (IP_PKTINFO), bytes in hex\n"
    "  --help               this text\n"
    "Default distance: 1.5. Several boards may share one port (SO_REUSEADDR).\n";

[[noreturn]] static void
usage_error(const char *fmt, ...)
{
	fputs("board-sim: ", stderr);
	va_list ap;
	va_start(ap, fmt);
	// The analyzer misses the va_start just above (a false positive of clang 14).
	vfprintf(stderr, fmt, ap);   // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(ap);
	fputs(" (see --help)\n", stderr);
	exit(EXIT_USAGE);
}

[[noreturn]] static void
fail(const char *step)
{
	fprintf(stderr, "board-sim: %s: %s\n", step, strerror(errno));
	exit(1);
}

static long
parse_long(const char *text, const char *what, long lo, long hi)
{
	char *end;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
		usage_error("bad %s '%s' (%ld to %ld)", what, text, lo, hi);
	return v;
}

static double
parse_double(const char *text, const char *what)
{
	char *end;
	double v = strtod(text, &end);
	if (end == text || *end != '\0' || !isfinite(v) || v < 0)
		usage_error("bad %s '%s'", what, text);
	return v;
}

// hex_value: the value of one hexadecimal digit, or -1.
static int
hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

static void
parse_hex(const char *hex, reply *r)
{
	size_t n = strlen(hex);
	if (n % 2 != 0 || n / 2 > MAX_DATAGRAM)
		usage_error(
		    "bad --reply-hex (even count of hex digits, at most %zu bytes)", MAX_DATAGRAM);
	for (size_t i = 0; i < n / 2; i++) {
		int high = hex_value(hex[2 * i]);
		int low = hex_value(hex[2 * i + 1]);
		if (high < 0 || low < 0)
			usage_error("bad --reply-hex digit at '%.2s'", hex + 2 * i);
		r->bytes[i] = static_cast<unsigned char>(high * 16 + low);
	}
	r->len = n / 2;
}

static void
parse_moving(const char *text)
{
	char buf[128];
	size_t len = strlen(text);
	if (len >= sizeof buf)
		usage_error("bad --moving '%s'", text);
	memcpy(buf, text, len + 1);
	char *save;
	char *near_s = strtok_r(buf, ",", &save);
	char *far_s = strtok_r(nullptr, ",", &save);
	char *period_s = strtok_r(nullptr, ",", &save);
	if (near_s == nullptr || far_s == nullptr || period_s == nullptr ||
	    strtok_r(nullptr, ",", &save) != nullptr)
		usage_error("bad --moving '%s' (NEAR,FAR,SECONDS)", text);
	opt.moving.near_m = parse_double(near_s, "--moving near distance");
	opt.moving.far_m = parse_double(far_s, "--moving far distance");
	opt.moving.period_s = parse_double(period_s, "--moving period");
	if (opt.moving.period_s <= 0 || opt.moving.far_m < opt.moving.near_m)
		usage_error("bad --moving '%s' (NEAR <= FAR, SECONDS > 0)", text);
	opt.moving.on = true;
}

static void
parse_options(int argc, const char *const argv[])
{
	for (int i = 1; i < argc; i++) {
		const char *a = argv[i];
		if (strcmp(a, "--help") == 0) {
			fputs(USAGE, stdout);
			exit(0);
		}
		if (strcmp(a, "--log") == 0) {
			opt.log = true;
			continue;
		}
		if (i + 1 >= argc)
			usage_error("unknown option or missing value: '%s'", a);
		const char *v = argv[++i];
		if (strcmp(a, "--name") == 0) {
			if (*v == '\0' || strchr(v, ' ') != nullptr || strlen(v) > 64)
				usage_error("bad --name '%s' (1 to 64 bytes, no space)", v);
			opt.name = v;
		} else if (strcmp(a, "--port") == 0) {
			opt.port = static_cast<int>(parse_long(v, "--port", 1, 65535));
		} else if (strcmp(a, "--distance") == 0) {
			if (opt.n_distances == MAX_REPLIES)
				usage_error("at most %zu --distance values", MAX_REPLIES);
			if (strlen(v) > 256)
				usage_error("--distance text too long");
			opt.distances[opt.n_distances++] = v;
		} else if (strcmp(a, "--reply-hex") == 0) {
			if (opt.n_raw == MAX_REPLIES)
				usage_error("at most %zu --reply-hex values", MAX_REPLIES);
			parse_hex(v, &opt.raw[opt.n_raw++]);
		} else if (strcmp(a, "--moving") == 0) {
			parse_moving(v);
		} else if (strcmp(a, "--delay") == 0) {
			opt.delay_ms = parse_long(v, "--delay", 0, 3600000);
		} else if (strcmp(a, "--ignore") == 0) {
			opt.ignore = parse_long(v, "--ignore", 1, 1000000000);
		} else if (strcmp(a, "--count") == 0) {
			opt.count = parse_long(v, "--count", 0, 1000000000);
		} else {
			usage_error("unknown option '%s'", a);
		}
	}
	int kinds = (opt.n_distances > 0) + (opt.n_raw > 0) + opt.moving.on;
	if (kinds > 1)
		usage_error("--distance, --moving and --reply-hex exclude each other");
}

static double
now_s()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The object comes from far to near and goes back: a triangle wave.
static double
moving_distance(double elapsed_s)
{
	const moving_object &m = opt.moving;
	double phase = fmod(elapsed_s, m.period_s) / m.period_s;   // 0..1
	double closeness = phase < 0.5 ? phase * 2 : (1 - phase) * 2;
	return m.far_m - (m.far_m - m.near_m) * closeness;
}

static size_t
build_reply(unsigned long seq, double start_s, unsigned char *out)
{
	if (opt.n_raw > 0) {
		const reply &r = opt.raw[seq % opt.n_raw];
		memcpy(out, r.bytes, r.len);
		return r.len;
	}
	int n;
	if (opt.moving.on)
		n = snprintf(reinterpret_cast<char *>(out), MAX_DATAGRAM, "%s %.2f", opt.name,
		    moving_distance(now_s() - start_s));
	else if (opt.n_distances > 0)
		n = snprintf(reinterpret_cast<char *>(out), MAX_DATAGRAM, "%s %s", opt.name,
		    opt.distances[seq % opt.n_distances]);
	else
		n = snprintf(reinterpret_cast<char *>(out), MAX_DATAGRAM, "%s 1.5", opt.name);
	return static_cast<size_t>(n);
}

static void
log_datagram(const sockaddr_in *src, const in_addr *dst, const unsigned char *buf, size_t len)
{
	char line[64 + 3 * MAX_DATAGRAM];
	char src_ip[INET_ADDRSTRLEN], dst_ip[INET_ADDRSTRLEN] = "?";
	inet_ntop(AF_INET, &src->sin_addr, src_ip, sizeof src_ip);
	if (dst != nullptr)
		inet_ntop(AF_INET, dst, dst_ip, sizeof dst_ip);
	int n = snprintf(line, sizeof line, "%s: from %s:%u to %s:%d len %zu:", opt.name, src_ip,
	    ntohs(src->sin_port), dst_ip, opt.port, len);
	for (size_t i = 0; i < len && n + 4 < static_cast<int>(sizeof line); i++)
		n += snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02x", buf[i]);
	line[n++] = '\n';
	// One write per line, so that several boards' logs do not interleave mid-line.
	if (write(STDERR_FILENO, line, static_cast<size_t>(n)) < 0)
		fail("write");
}

static void
sleep_ms(long ms)
{
	timespec ts = {ms / 1000, (ms % 1000) * 1000000};
	while (nanosleep(&ts, &ts) < 0 && errno == EINTR)
		;
}

int
main(int argc, char *argv[])
{
	parse_options(argc, argv);

	int sock = socket(AF_INET, SOCK_DGRAM, 0);
	if (sock < 0)
		fail("socket");
	int on = 1;
	if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
		fail("setsockopt SO_REUSEADDR");
	if (setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0)
		fail("setsockopt IP_PKTINFO");
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(opt.port));
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
		fail("bind");
	// A board that waits before each answer keeps only the few requests that
	// its smallest buffer holds, as a busy board does: with more than one
	// board, a client asks faster than each answers, and a queue of every
	// request would make the answers ever staler.
	int smallest = 1;
	if (opt.delay_ms > 0 &&
	    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest) < 0)
		fail("setsockopt SO_RCVBUF");

	double start_s = now_s();
	unsigned long answered = 0;
	long requests = 0;
	for (;;) {
		unsigned char buf[MAX_DATAGRAM];
		char control[CMSG_SPACE(sizeof(in_pktinfo))];
		sockaddr_in src;
		iovec iov = {buf, sizeof buf};
		msghdr mh = {};
		mh.msg_name = &src;
		mh.msg_namelen = sizeof src;
		mh.msg_iov = &iov;
		mh.msg_iovlen = 1;
		mh.msg_control = control;
		mh.msg_controllen = sizeof control;
		ssize_t n = recvmsg(sock, &mh, 0);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			fail("recvmsg");
		}
		if (opt.log) {
			const in_addr *dst = nullptr;
			for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c))
				if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
					dst =
					    &reinterpret_cast<in_pktinfo *>(CMSG_DATA(c))->ipi_addr;
			log_datagram(&src, dst, buf, static_cast<size_t>(n));
		}
		if (static_cast<size_t>(n) != REQUEST_LEN || memcmp(buf, REQUEST, REQUEST_LEN) != 0)
			continue;
		if (++requests == opt.ignore)
			continue;
		if (opt.count >= 0 && answered >= static_cast<unsigned long>(opt.count))
			return 0;
		if (opt.delay_ms > 0)
			sleep_ms(opt.delay_ms);
		unsigned char out[MAX_DATAGRAM];
		size_t len = build_reply(answered, start_s, out);
		if (sendto(sock, out, len, 0, reinterpret_cast<sockaddr *>(&src), sizeof src) < 0)
			fail("sendto");
		answered++;
	}
}
