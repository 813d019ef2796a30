// libc_reason ERRNO..: prints the reason that the C library gives for each
// error number, one a line; built and run like the client, so that the tests
// expect musl's wording of a musl client and glibc's of a glibc one.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int
main(int argc, char *argv[])
{
	if (argc < 2) {
		fprintf(stderr, "usage: libc_reason ERRNO..\n");
		return 2;
	}
	for (int i = 1; i < argc; i++)
		printf("%s\n", strerror(static_cast<int>(strtol(argv[i], nullptr, 10))));
	return 0;
}
