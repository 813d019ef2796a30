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
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "journal.h"
#include "mqtt.h"
#include "poll_events.h"

static const char USAGE[] =
    "usage: poll-events [--json] [--hold S] [--every S] [--step M] [--board NAME].. [--boards "
    "FILE]\n"
    "                   [--mqtt URL [--mqtt-prefix P] [--mqtt-ca FILE] [--mqtt-credentials FILE]]\n"
    "                   [-- COMMAND [ARG..]]\n";
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
// Descriptors that the command may have beyond the three standard ones: none.
constexpr unsigned FIRST_NOT_INHERITED_FD = 3;
constexpr int FDS_CLOSED_WITHOUT_CLOSE_RANGE = 1024;

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

// usage: the usage on stderr, after a line that says what is wrong, if any;
// ends the process with the status of a wrong command line.
[[noreturn]] static void
usage(const char *what, const char *text)
{
	if (what != nullptr)
		fprintf(stderr, "poll-events: %s: %s\n", what, text);
	fputs(USAGE, stderr);
	exit(EXIT_USAGE);
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
		fprintf(stderr, "poll-events: not a number from %g up: %s\n", min, text);
		usage(nullptr, nullptr);
	}
	return v;
}

// name_boards_from: each line of the file names a board (its bytes but the
// newline), or the usage and exit.
static void
name_boards_from(const char *path, board_names *named)
{
	FILE *f = fopen(path, "r");
	if (f == nullptr)
		usage(path, strerror(errno));
	char line[LINE_MAX_BYTES];
	while (fgets(line, sizeof line, f) != nullptr) {
		size_t len = strcspn(line, "\n");
		if (len > 0 && !name_board(named, line, len))
			usage("not a board name, or more than 64", line);
	}
	fclose(f);
}

struct output {
	bool json;
	int journal;   // native socket, or -1: stdout
};

// read_options: the command line into the rules, the output and the MQTT
// settings; returns the command to run, or null: read standard input.
static char **
read_options(int argc, char *argv[], tracker *t, output *out, mqtt_settings *mqtt)
{
	enum { OPT_MQTT = 256, OPT_PREFIX, OPT_CA, OPT_CREDENTIALS, OPT_BOARD, OPT_BOARDS };
	static const option long_options[] = {{"json", no_argument, nullptr, 'j'},
	    {"hold", required_argument, nullptr, 'h'}, {"every", required_argument, nullptr, 'e'},
	    {"step", required_argument, nullptr, 's'},
	    {"board", required_argument, nullptr, OPT_BOARD},
	    {"boards", required_argument, nullptr, OPT_BOARDS},
	    {"mqtt", required_argument, nullptr, OPT_MQTT},
	    {"mqtt-prefix", required_argument, nullptr, OPT_PREFIX},
	    {"mqtt-ca", required_argument, nullptr, OPT_CA},
	    {"mqtt-credentials", required_argument, nullptr, OPT_CREDENTIALS},
	    {nullptr, 0, nullptr, 0}};
	for (int c; (c = getopt_long(argc, argv, "+", long_options, nullptr)) != -1;) {
		switch (c) {
		case 'j':
			out->json = true;
			break;
		case 'h':
			t->rules.hold_s = read_number(optarg, 0.001);
			break;
		case 'e':
			t->rules.every_s = read_number(optarg, 0);
			break;
		case 's':
			t->rules.step_m = read_number(optarg, 0);
			break;
		case OPT_BOARD:
			if (!name_board(&t->named, optarg, strlen(optarg)))
				usage("not a board name, or more than 64", optarg);
			break;
		case OPT_BOARDS:
			name_boards_from(optarg, &t->named);
			break;
		case OPT_MQTT:
			mqtt->url = optarg;
			break;
		case OPT_PREFIX:
			mqtt->prefix = optarg;
			break;
		case OPT_CA:
			mqtt->ca_file = optarg;
			break;
		case OPT_CREDENTIALS:
			mqtt->credentials = optarg;
			break;
		default:
			usage(nullptr, nullptr);
		}
	}
	if (optind < argc && strcmp(argv[optind - 1], "--") != 0)
		usage(nullptr, nullptr);
	return optind < argc ? argv + optind : nullptr;
}

// set_signals: SIGTERM, SIGINT and SIGHUP stop (passed on to the command),
// SIGUSR1 asks for the counts, and a reader gone is a failed write.
static void
set_signals()
{
	struct sigaction stop = {}, counts = {}, ignore = {};
	stop.sa_handler = on_stop;
	counts.sa_handler = on_counts;
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGTERM, &stop, nullptr);
	sigaction(SIGINT, &stop, nullptr);
	sigaction(SIGHUP, &stop, nullptr);
	sigaction(SIGUSR1, &counts, nullptr);
	sigaction(SIGPIPE, &ignore, nullptr);
}

// close_inherited: closes every descriptor but the standard ones, the
// broker's socket among them, which the command must not hold open.
static void
close_inherited()
{
#ifdef SYS_close_range
	if (syscall(SYS_close_range, FIRST_NOT_INHERITED_FD, ~0U, 0) == 0)
		return;
#endif
	for (int fd = FIRST_NOT_INHERITED_FD; fd < FDS_CLOSED_WITHOUT_CLOSE_RANGE; fd++)
		close(fd);
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
		close_inherited();
		execvp(argv[0], argv);
		fprintf(stderr, "poll-events: %s: %s\n", argv[0], strerror(errno));
		_exit(127);
	}
	close(fds[1]);
	return fds[0];
}

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
	    "poll-events: %llu lines, %llu not detection lines, %llu of boards not named, %llu "
	    "boards put out past the %zu tracked\n",
	    t->lines, t->not_detections, t->strangers, t->put_out, MAX_BOARDS);
}

// take_lines: the whole lines in buf (have bytes) taken, each event written;
// returns the bytes taken. overlong: inside a line too long to be a
// detection line, whose end is counted as one line.
static size_t
take_lines(tracker *t, const output *out, const char *buf, size_t have, double now, bool *overlong)
{
	size_t start = 0;
	event e[EVENTS_PER_LINE];
	for (const char *nl; (nl = static_cast<const char *>(
	                          memchr(buf + start, '\n', have - start))) != nullptr;) {
		size_t len = static_cast<size_t>(nl - (buf + start));
		if (*overlong) {
			t->lines++;
			t->not_detections++;
			*overlong = false;
		} else {
			size_t n = take_line(t, buf + start, len, now, e);
			for (size_t i = 0; i < n; i++)
				write_event(out, &e[i]);
		}
		start += len + 1;
	}
	return start;
}

// follow_lines: reads lines from in until its end, or until a stop once the
// command (passed the signal) has ended; writes each event as it comes, and
// each gone when it is due, whatever the input does.
static void
follow_lines(int in, tracker *t, const output *out, pid_t *child)
{
	static char buf[READ_BUFFER_BYTES];
	size_t have = 0;
	bool overlong = false;
	event e;
	for (;;) {
		double now = seconds(CLOCK_MONOTONIC);
		while (take_silence(t, now, &e))
			write_event(out, &e);
		if (counts_asked) {
			counts_asked = 0;
			report_counts(t);
		}
		if (stop_signal && *child > 0) {
			// Passed on, so that the client ends and its pipe with it.
			kill(*child, stop_signal);
			*child = -*child;
		}
		if (stop_signal && *child == -1)
			break;
		double next = next_gone_s(t);
		int timeout_ms = next < 0 ? -1 : static_cast<int>((next - now) * MS_PER_S) + 1;
		pollfd p = {in, POLLIN, 0};
		int ready = poll(&p, 1, timeout_ms);
		if (ready < 0 && errno != EINTR)
			fail("poll");
		if (ready <= 0)
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
		size_t taken = take_lines(t, out, buf, have, seconds(CLOCK_MONOTONIC), &overlong);
		memmove(buf, buf + taken, have - taken);
		have -= taken;
		if (have >= LINE_MAX_BYTES) {
			overlong = true;
			have = 0;
		}
		const timespec batch = {0, BATCH_NS};
		if (drained)
			nanosleep(&batch, nullptr);
	}
	if (have > 0 || overlong) {
		t->lines++;
		t->not_detections++;
	}
}

// end_as_command: the command's exit status, or its signal raised again (or
// the stop's, reading standard input), so that systemd sees its failures as
// before.
static int
end_as_command(pid_t child)
{
	int status = 0;
	if (child != -1) {
		pid_t pid = child > 0 ? child : -child;
		while (waitpid(pid, &status, 0) < 0)
			if (errno != EINTR)
				fail("waitpid");
	}
	int sig = WIFSIGNALED(status) ? WTERMSIG(status) : stop_signal;
	if (sig != 0) {
		signal(sig, SIG_DFL);
		raise(sig);
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : EXIT_ERROR;
}

int
main(int argc, char *argv[])
{
	static tracker t;
	t.rules = {DEFAULT_HOLD_S, DEFAULT_EVERY_S, DEFAULT_STEP_M};
	output out = {false, -1};
	mqtt_settings mqtt = {nullptr, nullptr, nullptr, nullptr, &t.named};
	char **command = read_options(argc, argv, &t, &out, &mqtt);
	if (!out.json && stdout_is_journal())
		out.journal = open_journal();
	if (mqtt.url != nullptr) {
#ifdef POLL_EVENTS_MQTT
		if (!mqtt_start(&mqtt))
			return EXIT_USAGE;
#else
		fputs("poll-events: built without MQTT (libmosquitto)\n", stderr);
		return EXIT_USAGE;
#endif
	}
	set_signals();
	pid_t child = -1;
	int in = command != nullptr ? start_command(command, &child) : STDIN_FILENO;
#ifdef POLL_EVENTS_MQTT
	mqtt_connect();
#endif
	follow_lines(in, &t, &out, &child);
	// The end of the input: every board still tracked is gone.
	event e;
	while (take_end(&t, &e))
		write_event(&out, &e);
	report_counts(&t);
#ifdef POLL_EVENTS_MQTT
	mqtt_stop();
#endif
	return end_as_command(child);
}
