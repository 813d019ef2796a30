// libFuzzer target: one received datagram of 0 to 200 bytes, through the
// bounding of the reply text, to the detection line. Under ASan and UBSan a
// crash or an over-read fails it; and every output is checked against a
// model of the rules written apart from the client's code, so that a wrong
// line is found too.
#include "poll_client.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr size_t MAX_DATAGRAM = 200;
char captured[4096];

// The rules: the first 99 bytes at most, up to a zero byte; words split at
// spaces only; a name and a distance word are needed; the distance is
// strtod's value; printed when in (0, 5], with six decimals.
std::string
expected_line(const uint8_t *data, size_t size)
{
	size_t len = size < MESSAGE_SIZE - 1 ? size : MESSAGE_SIZE - 1;
	std::string text(reinterpret_cast<const char *>(data), len);
	text = text.substr(0, text.find('\0'));

	std::vector<std::string> words;
	std::string word;
	for (char c : text + " ") {
		if (c != ' ') {
			word += c;
		} else if (!word.empty()) {
			words.push_back(word);
			word.clear();
		}
	}
	if (words.size() < 2)
		return "";
	double d = strtod(words[1].c_str(), nullptr);
	if (!(d > 0.0 && d <= 5.0))
		return "";
	char number[64];
	snprintf(number, sizeof number, "%.6f", d);
	return "Object is detected " + std::string(number) + " meters away from board " + words[0] +
	    ".\n";
}

}   // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	// The client prints to stdout; here stdout is a memory buffer to compare.
	stdout = fmemopen(captured, sizeof captured, "w");
	return stdout == nullptr;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > MAX_DATAGRAM)
		return -1;   // not added to the corpus

	// The buffer as the cycle leaves it after a send, then the kernel's copy
	// of at most MESSAGE_SIZE bytes of the datagram.
	char *msg = static_cast<char *>(malloc(MESSAGE_SIZE));   // exact size, for ASan
	memset(msg, 0, MESSAGE_SIZE);
	memcpy(msg, REQUEST_TEXT, sizeof REQUEST_TEXT);
	size_t received = size < MESSAGE_SIZE ? size : MESSAGE_SIZE;
	memcpy(msg, data, received);
	terminate_reply(msg, received);

	rewind(stdout);
	handle_reply(msg);
	fflush(stdout);
	std::string got(captured, static_cast<size_t>(ftell(stdout)));
	free(msg);

	std::string want = expected_line(data, size);
	if (got != want) {
		fprintf(stderr, "wrong output\n  got:  \"%s\"\n  want: \"%s\"\n", got.c_str(),
		    want.c_str());
		abort();
	}
	return 0;
}
