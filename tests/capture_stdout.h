// Captures what a call writes to stdout, through the C library's own stream.
#ifndef CAPTURE_STDOUT_H
#define CAPTURE_STDOUT_H

#include <stdio.h>
#include <unistd.h>

#include <string>

template <typename F>
std::string
capture_stdout(F call)
{
	fflush(stdout);
	int saved = dup(STDOUT_FILENO);
	FILE *tmp = tmpfile();
	if (saved < 0 || tmp == nullptr)
		return "<capture failed>";
	dup2(fileno(tmp), STDOUT_FILENO);
	call();
	fflush(stdout);
	dup2(saved, STDOUT_FILENO);
	close(saved);

	std::string out;
	rewind(tmp);
	char chunk[256];
	size_t n;
	while ((n = fread(chunk, 1, sizeof chunk, tmp)) > 0)
		out.append(chunk, n);
	fclose(tmp);
	return out;
}

#endif
