// exec_empty_argv PROGRAM: runs PROGRAM with no arguments at all, not even
// its own name, as a careless or hostile parent may.
#include <stdio.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "usage: exec_empty_argv PROGRAM\n");
		return 2;
	}
	char *no_args[] = {nullptr};
	execve(argv[1], no_args, environ);
	perror("exec_empty_argv: exec");
	return 127;
}
