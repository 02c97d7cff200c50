#include <sys/types.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Outcome {
	int		status;		/* exit status, or -1 if not exited */
	std::string	err;		/* everything written to standard error */
	std::string	out;		/* everything written to standard output */
};

std::string
drain(int fd)
{
	std::string s;
	char buf[512];
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		s.append(buf, n);
	return s;
}

/* Run `body` in a child named "hooktap", with its output captured. */
Outcome
run_child(const std::function<void()> &body)
{
	int e[2], o[2];
	if (pipe(e) != 0 || pipe(o) != 0)
		abort();
	pid_t pid = fork();
	if (pid == 0) {
		dup2(e[1], STDERR_FILENO);
		dup2(o[1], STDOUT_FILENO);
		close(e[0]);
		close(o[0]);
		program_invocation_short_name = const_cast<char *>("hooktap");
		body();
		_exit(200);
	}
	close(e[1]);
	close(o[1]);
	Outcome r;
	r.err = drain(e[0]);
	r.out = drain(o[0]);
	close(e[0]);
	close(o[0]);
	int st;
	waitpid(pid, &st, 0);
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	return r;
}

/* The exit routine says on standard output which status it was given. */
void
hook(int status)
{
	char line[32];
	int n = snprintf(line, sizeof(line), "hook %d\n", status);
	(void)write(STDOUT_FILENO, line, n);
}

TEST(Err, ReportsWithErrorTextThenRunsTheHookAndExits)
{
	Outcome r = run_child([] {
		err_set_exit(hook);
		errno = ENOENT;
		err(71, "%s: unable to load kernel module \"%s\"", "kld_ensure_load",
		    "ng_pcap");
	});
	EXPECT_EQ(r.status, 71);
	EXPECT_EQ(r.err, "hooktap: kld_ensure_load: unable to load kernel "
	    "module \"ng_pcap\": No such file or directory\n");
	EXPECT_EQ(r.out, "hook 71\n");
}

TEST(Err, ErrxLeavesTheErrorTextOut)
{
	Outcome r = run_child([] {
		err_set_exit(hook);
		errno = EPERM;
		errx(77, "cannot attach to jail");
	});
	EXPECT_EQ(r.status, 77);
	EXPECT_EQ(r.err, "hooktap: cannot attach to jail\n");
	EXPECT_EQ(r.out, "hook 77\n");
}

TEST(Err, WithoutAHookOnlyExits)
{
	Outcome r = run_child([] {
		errno = EDOOFUS;
		err(65, ": kevent loop failed");
	});
	EXPECT_EQ(r.status, 65);
	EXPECT_EQ(r.err, "hooktap: : kevent loop failed: Programming error\n");
	EXPECT_EQ(r.out, "");

	r = run_child([] {
		err_set_exit(hook);
		err_set_exit(nullptr);
		errx(64, "x");
	});
	EXPECT_EQ(r.status, 64);
	EXPECT_EQ(r.out, "");
}

TEST(Err, WarningsReportAndGoOn)
{
	Outcome r = run_child([] {
		err_set_exit(hook);
		warnx("%s: unknown layer", "ip");
		errno = ENXIO;
		warn("open");
		/* The reports leave errno as they found it. */
		if (errno != ENXIO)
			_exit(1);
		warnc(EISCONN, "connect");
		exit(0);
	});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "hooktap: ip: unknown layer\n"
	    "hooktap: open: Device not configured\n"
	    "hooktap: connect: Socket is already connected\n");
	EXPECT_EQ(r.out, "");
}

TEST(Err, NoMessageAndExplicitCodes)
{
	Outcome r = run_child([] {
		errno = EINVAL;
		warn(nullptr);
		warnx(nullptr);
		err_set_exit(hook);
		errc(3, EDOM, "order %d", 20);
	});
	EXPECT_EQ(r.status, 3);
	EXPECT_EQ(r.err, "hooktap: Invalid argument\nhooktap: \n"
	    "hooktap: order 20: Numerical argument out of domain\n");
	EXPECT_EQ(r.out, "hook 3\n");
}

TEST(Err, ExitFlushesBufferedOutput)
{
	Outcome r = run_child([] {
		printf("pending");
		errx(1, "late");
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "pending");
	EXPECT_EQ(r.err, "hooktap: late\n");
}

TEST(Strerror, FreeBSDTexts)
{
	EXPECT_STREQ(strerror(0), "No error: 0");
	EXPECT_STREQ(strerror(ENXIO), "Device not configured");
	EXPECT_STREQ(strerror(EDOOFUS), "Programming error");
	EXPECT_EQ(EDOOFUS, 1088);
	EXPECT_STREQ(strerror(5000), "Unknown error: 5000");
	EXPECT_STREQ(strerror(-3), "Unknown error: -3");
	EXPECT_STREQ(strerror(EISCONN), "Socket is already connected");
	EXPECT_STREQ(strerror(ENOTCONN), "Socket is not connected");
	EXPECT_STREQ(strerror(ETIMEDOUT), "Operation timed out");
}

TEST(Strerror, TextsBothSystemsShare)
{
	const struct {
		int		num;
		const char	*text;
	} same[] = {
		{EPERM, "Operation not permitted"},
		{ENOENT, "No such file or directory"},
		{EINVAL, "Invalid argument"},
		{EEXIST, "File exists"},
		{EADDRINUSE, "Address already in use"},
		{EPROTONOSUPPORT, "Protocol not supported"},
		{EPIPE, "Broken pipe"},
		{EINTR, "Interrupted system call"},
		{EDOM, "Numerical argument out of domain"},
		{EAGAIN, "Resource temporarily unavailable"},
		{ENOMEM, "Cannot allocate memory"},
	};
	for (const auto &s : same)
		EXPECT_STREQ(strerror(s.num), s.text) << s.num;
}

} // namespace
