// Turns one reply text into at most one detection line.
#include "poll_client.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Only the space separates words; a tab or line feed belongs to its word.
constexpr const char WORD_SEPARATORS[] = " ";
constexpr const char DETECTION_FORMAT[] = "Object is detected %lf meters away from board %s.\n";

bool
parse_reply(char *text, const char **name, double *distance)
{
	char *save = nullptr;
	char *name_word = strtok_r(text, WORD_SEPARATORS, &save);
	if (name_word == nullptr)
		return false;
	char *distance_word = strtok_r(nullptr, WORD_SEPARATORS, &save);
	if (distance_word == nullptr)
		return false;
	*name = name_word;
	*distance = strtod(distance_word, nullptr);
	return true;
}

void
require_stdout()
{
	// A closed stdout would lose every line, and its number would go to the socket.
	if (fcntl(STDOUT_FILENO, F_GETFL) < 0)
		error("stdout");
}

void
handle_reply(char *text)
{
	const char *name;
	double distance;

	if (!parse_reply(text, &name, &distance))
		return;
	// Written as two tests so that NaN, which fails both, stays out of range.
	if (!(distance > DETECTION_MIN_M))
		return;
	if (distance > DETECTION_MAX_M)
		return;
	// A full disk or a reader gone (SIGPIPE ignored) must not pass for a quiet network.
	if (printf(DETECTION_FORMAT, distance, name) < 0)
		error("stdout");
}
