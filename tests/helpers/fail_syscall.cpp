// fail_syscall NAME[:I=V] ERRNO CMD [ARG..]: runs CMD with the system call NAME
// failing with ERRNO (only where its argument I equals V, if given), through a
// seccomp filter, to test failure paths that a healthy system never takes.
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
constexpr unsigned AUDIT_ARCH_HERE = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned AUDIT_ARCH_HERE = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
constexpr unsigned AUDIT_ARCH_HERE = AUDIT_ARCH_ARM;
#else
#error "fail_syscall: unknown architecture"
#endif

struct named_call {
	const char *name;
	long nr;
};

static const named_call CALLS[] = {
    {"socket", SYS_socket},
    {"setsockopt", SYS_setsockopt},
    {"sendto", SYS_sendto},
    {"recvfrom", SYS_recvfrom},
};

int
main(int argc, char *argv[])
{
	if (argc < 4) {
		fprintf(stderr, "usage: fail_syscall NAME[:I=V] ERRNO CMD [ARG..]\n");
		return 2;
	}
	// NAME, or NAME:I=V to fail the call only where its argument I equals V.
	char name[32];
	const char *what = argv[1];
	size_t name_len = strcspn(what, ":");
	unsigned long arg = 0, value = 0;
	bool by_arg = what[name_len] == ':';
	bool what_ok = name_len < sizeof name;
	if (by_arg) {
		char *end;
		arg = strtoul(what + name_len + 1, &end, 10);
		what_ok = what_ok && *end == '=' && arg < 6;
		if (what_ok) {
			const char *value_text = end + 1;
			value = strtoul(value_text, &end, 10);
			what_ok = end != value_text && *end == '\0' && value <= 0xffffffffUL;
		}
	}
	memcpy(name, what, what_ok ? name_len : 0);
	name[what_ok ? name_len : 0] = '\0';
	long nr = -1;
	for (const named_call &c : CALLS)
		if (strcmp(c.name, name) == 0)
			nr = c.nr;
	char *err_end;
	long err = strtol(argv[2], &err_end, 10);
	if (nr < 0 || *err_end != '\0' || err <= 0 || err > 4095) {
		fprintf(stderr, "fail_syscall: unknown call '%s' or bad errno '%s'\n", argv[1],
		    argv[2]);
		return 2;
	}
	// The low word of a little-endian argument; without I=V the test always holds.
	auto arg_offset = static_cast<unsigned>(offsetof(seccomp_data, args) + sizeof(__u64) * arg);

	sock_filter filter[] = {
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_HERE, 1, 0),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 4),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_offset),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(value), 1, 0),
	    BPF_JUMP(BPF_JMP | BPF_JA, by_arg ? 1U : 0U, 0, 0),
	    BPF_STMT(BPF_RET | BPF_K,
	        SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) < 0) {
		perror("fail_syscall: seccomp");
		return 2;
	}
	execvp(argv[3], argv + 3);
	perror("fail_syscall: exec");
	return 127;
}
