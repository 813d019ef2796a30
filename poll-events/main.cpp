// poll-events: reads poll-client's detection lines, from its standard input or
// from a client that it runs, and writes near, moved and gone events.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "journal.h"
#include "poll_events.h"
#ifdef POLL_EVENTS_MQTT
#include "mqtt.h"
#endif

static const char USAGE[] =
    "usage: poll-events [--json] [--hold S] [--every S] [--step M] [--mqtt URL [--mqtt-prefix P]\n"
    "                   [--mqtt-ca FILE] [--mqtt-credentials FILE]] [-- COMMAND [ARG..]]\n";
// The exit status of a wrong command line, and of a failed step.
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_ERROR = 1;
// Bytes read at once: many lines.
constexpr size_t READ_BUFFER_BYTES = 16384;
// After each read that empties the pipe, the lines that the client writes
// meanwhile gather in it for this long, so that the next read takes them all: a system call or
// two per batch rather than per line, where lines come hundreds a second. An
// event comes at most this much later; the pipe holds a thousand lines.
constexpr long BATCH_NS = 10000000;   // 10 ms

static volatile sig_atomic_t stop_signal;
static volatile sig_atomic_t counts_asked;

static void
on_stop(int sig)
{
	stop_signal = sig;
}

static void
on_counts(int /*sig*/)
{
	counts_asked = 1;
}

// fail: reports the failed step with the system's reason and ends the process.
[[noreturn]] static void
fail(const char *step)
{
	fprintf(stderr, "poll-events: %s: %s\n", step, strerror(errno));
	exit(EXIT_ERROR);
}

// seconds: the clock's time in seconds.
static double
seconds(clockid_t clock)
{
	timespec ts;
	clock_gettime(clock, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// read_number: the option's value as a number from min up, or the usage and exit.
static double
read_number(const char *text, double min)
{
	char *end;
	double v = strtod(text, &end);
	if (end == text || *end != '\0' || !(v >= min) || v > 1e9) {
		fprintf(stderr, "poll-events: not a number from %g up: %s\n%s", min, text, USAGE);
		exit(EXIT_USAGE);
	}
	return v;
}

// start_command: runs argv with its standard output into a pipe; returns the
// pipe's reading end and the child's pid.
static int
start_command(char **argv, pid_t *child)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		fail("pipe");
	*child = fork();
	if (*child < 0)
		fail("fork");
	if (*child == 0) {
		if (dup2(fds[1], STDOUT_FILENO) < 0)
			_exit(EXIT_ERROR);
		execvp(argv[0], argv);
		fprintf(stderr, "poll-events: %s: %s\n", argv[0], strerror(errno));
		_exit(127);
	}
	close(fds[1]);
	return fds[0];
}

struct output {
	bool json;
	int journal;   // native socket, or -1: stdout
};

// write_event: writes the event, and publishes it where MQTT is on, or ends
// the process when it cannot write it.
static void
write_event(const output *out, const event *e)
{
#ifdef POLL_EVENTS_MQTT
	mqtt_publish_event(e);
#endif
	if (out->journal >= 0 && send_journal_entry(out->journal, e))
		return;
	char text[EVENT_TEXT_MAX];
	timespec now;
	clock_gettime(CLOCK_REALTIME, &now);
	size_t len =
	    format_event(e, now.tv_sec * MS_PER_S + now.tv_nsec / 1000000, out->json, text);
	for (size_t done = 0; done < len;) {
		ssize_t n = write(STDOUT_FILENO, text + done, len - done);
		if (n < 0 && errno != EINTR)
			fail("stdout");
		done += n > 0 ? static_cast<size_t>(n) : 0;
	}
}

// report_counts: the lines read and those that made no event, on stderr.
static void
report_counts(const tracker *t)
{
	fprintf(stderr,
	    "poll-events: %lu lines, %lu not detection lines, %lu of boards past the %zu tracked\n",
	    t->lines, t->not_detections, t->untracked, MAX_BOARDS);
}

int
main(int argc, char *argv[])
{
	static tracker t;
	t.rules = {DEFAULT_HOLD_S, DEFAULT_EVERY_S, DEFAULT_STEP_M};
	output out = {false, -1};
	const char *mqtt[4] = {
	    nullptr, "poll-events", nullptr, nullptr};   // url, prefix, ca, credentials
	static const option long_options[] = {{"json", no_argument, nullptr, 'j'},
	    {"hold", required_argument, nullptr, 'h'}, {"every", required_argument, nullptr, 'e'},
	    {"step", required_argument, nullptr, 's'}, {"mqtt", required_argument, nullptr, 0},
	    {"mqtt-prefix", required_argument, nullptr, 1},
	    {"mqtt-ca", required_argument, nullptr, 2},
	    {"mqtt-credentials", required_argument, nullptr, 3}, {nullptr, 0, nullptr, 0}};
	for (int c; (c = getopt_long(argc, argv, "+", long_options, nullptr)) != -1;) {
		switch (c) {
		case 'j':
			out.json = true;
			break;
		case 'h':
			t.rules.hold_s = read_number(optarg, 0.001);
			break;
		case 'e':
			t.rules.every_s = read_number(optarg, 0);
			break;
		case 's':
			t.rules.step_m = read_number(optarg, 0);
			break;
		case 0:
		case 1:
		case 2:
		case 3:
			mqtt[c] = optarg;
			break;
		default:
			fputs(USAGE, stderr);
			return EXIT_USAGE;
		}
	}
	if (optind < argc && strcmp(argv[optind - 1], "--") != 0) {
		fputs(USAGE, stderr);
		return EXIT_USAGE;
	}
	if (!out.json && stdout_is_journal())
		out.journal = open_journal();
	if (mqtt[0] != nullptr) {
#ifdef POLL_EVENTS_MQTT
		const mqtt_settings settings = {mqtt[0], mqtt[1], mqtt[2], mqtt[3]};
		if (!mqtt_start(&settings))
			return EXIT_USAGE;
#else
		fputs("poll-events: built without MQTT (libmosquitto)\n", stderr);
		return EXIT_USAGE;
#endif
	}

	struct sigaction stop = {}, counts = {}, ignore = {};
	stop.sa_handler = on_stop;
	counts.sa_handler = on_counts;
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGTERM, &stop, nullptr);
	sigaction(SIGINT, &stop, nullptr);
	sigaction(SIGHUP, &stop, nullptr);
	sigaction(SIGUSR1, &counts, nullptr);
	// A reader gone is a failed write, reported as such.
	sigaction(SIGPIPE, &ignore, nullptr);

	pid_t child = -1;
	int in = optind < argc ? start_command(argv + optind, &child) : STDIN_FILENO;
	static char buf[READ_BUFFER_BYTES];
	size_t have = 0;
	bool overlong = false;   // inside a line too long to be a detection line
	event e;
	for (;;) {
		double now = seconds(CLOCK_MONOTONIC);
		while (take_silence(&t, now, &e))
			write_event(&out, &e);
		if (counts_asked) {
			counts_asked = 0;
			report_counts(&t);
		}
		if (stop_signal && child > 0) {
			// Passed on, so that the client ends and its pipe with it.
			kill(child, stop_signal);
			child = -child;
		}
		if (stop_signal && child == -1)
			break;
		double next = next_gone_s(&t);
		int timeout_ms = next < 0 ? -1 : static_cast<int>((next - now) * MS_PER_S) + 1;
		pollfd p[2] = {{in, POLLIN, 0}, {-1, 0, 0}};
#ifdef POLL_EVENTS_MQTT
		p[1].fd = mqtt_poll_fd(&p[1].events);
		int mqtt_ms = mqtt_service(0, now);
		if (mqtt_ms >= 0 && (timeout_ms < 0 || mqtt_ms < timeout_ms))
			timeout_ms = mqtt_ms;
#endif
		int ready = poll(p, 2, timeout_ms);
		if (ready < 0 && errno != EINTR)
			fail("poll");
#ifdef POLL_EVENTS_MQTT
		if (ready > 0 && p[1].revents != 0)
			mqtt_service(p[1].revents, seconds(CLOCK_MONOTONIC));
#endif
		if (ready <= 0 || p[0].revents == 0)
			continue;
		ssize_t n = read(in, buf + have, sizeof buf - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			fail("read");
		if (n == 0)
			break;
		bool drained = static_cast<size_t>(n) < sizeof buf - have;
		have += static_cast<size_t>(n);
		now = seconds(CLOCK_MONOTONIC);
		size_t start = 0;
		for (char *nl; (nl = static_cast<char *>(
		                    memchr(buf + start, '\n', have - start))) != nullptr;) {
			size_t len = static_cast<size_t>(nl - (buf + start));
			if (overlong) {
				t.lines++;
				t.not_detections++;
				overlong = false;
			} else if (take_line(&t, buf + start, len, now, &e)) {
				write_event(&out, &e);
			}
			start += len + 1;
		}
		memmove(buf, buf + start, have - start);
		have -= start;
		if (have >= LINE_MAX_BYTES) {
			overlong = true;
			have = 0;
		}
		const timespec batch = {0, BATCH_NS};
		if (drained)
			nanosleep(&batch, nullptr);
	}

	if (have > 0 || overlong) {
		t.lines++;
		t.not_detections++;
	}
	// The end of the input: every board still tracked is gone.
	while (take_end(&t, &e))
		write_event(&out, &e);
	report_counts(&t);
#ifdef POLL_EVENTS_MQTT
	mqtt_stop();
#endif
	int status = 0;
	if (child != -1) {
		pid_t pid = child > 0 ? child : -child;
		while (waitpid(pid, &status, 0) < 0)
			if (errno != EINTR)
				fail("waitpid");
	}
	// Ended as the client ended, so that systemd sees its failures as before.
	int sig = WIFSIGNALED(status) ? WTERMSIG(status) : stop_signal;
	if (sig != 0) {
		signal(sig, SIG_DFL);
		raise(sig);
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : EXIT_ERROR;
}
