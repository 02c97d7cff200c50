#!/bin/sh
# Fails when FreeBSD code leans on the host: an #include of a header that
# FreeBSD's base system lacks, or an object that calls a Linux-only function.
#
#   freebsd_only.sh [--sources DIR] [--objects DIR] [--exclude PATTERN] --headers FILE
#
# --sources: every C/C++ file below DIR; quoted includes must name a file
#            below DIR, angle includes a line of the headers FILE.
# --objects: every *.o below DIR whose path contains /bin/ (and not the
#            exclude pattern); no undefined symbol may be Linux-only.
# Exit 0 clean, 1 on a finding, 77 when --objects found nothing to check.
set -u

sources= objects= exclude= headers=
while [ $# -gt 0 ]; do
	case $1 in
	--sources) sources=$2; shift 2 ;;
	--objects) objects=$2; shift 2 ;;
	--exclude) exclude=$2; shift 2 ;;
	--headers) headers=$2; shift 2 ;;
	*) echo "usage: $0 [--sources DIR] [--objects DIR] [--exclude PATTERN] --headers FILE" >&2
	   exit 2 ;;
	esac
done

# Functions and variables that exist on Linux only (or that FreeBSD code
# must reach through another interface).
linux_only='^(epoll_[a-z_0-9]*|inotify_[a-z_0-9]*|fanotify_[a-z_0-9]*|signalfd|signalfd4|memfd_create|program_invocation_name|program_invocation_short_name|prctl|personality|clone|clone3|unshare|setns|splice|vmsplice|tee|mremap|sendfile64|error|error_at_line|strerrordesc_np|strerrorname_np|getauxval|sysinfo|mallinfo|mallinfo2|malloc_usable_size|__libc_[a-z_]*|ioperm|iopl|gettid|pidfd_[a-z_]*|open_by_handle_at|name_to_handle_at)$'

status=0

if [ -n "$sources" ]; then
	allowed=$(grep -v '^#' "$headers" | grep -v '^$')
	for f in $(find "$sources" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hh' \) | sort); do
		dir=$(dirname "$f")
		grep -nE '^[[:space:]]*#[[:space:]]*include' "$f" | while IFS= read -r line; do
			num=${line%%:*}
			inc=$(printf '%s\n' "$line" | sed -nE 's/.*#[[:space:]]*include[[:space:]]*([<"][^>"]*[>"]).*/\1/p')
			name=$(printf '%s' "$inc" | sed -E 's/^[<"]//; s/[>"]$//')
			case $inc in
			\"*)
				if [ -f "$dir/$name" ] || [ -n "$(find "$sources" -path "*/$name" -type f | head -1)" ]; then
					continue
				fi
				echo "$f:$num: \"$name\" is not part of the tree" ;;
			\<*)
				if printf '%s\n' "$allowed" | grep -qxF "$name"; then
					continue
				fi
				echo "$f:$num: <$name> is not a FreeBSD base header" ;;
			*)
				echo "$f:$num: unreadable include: $line" ;;
			esac
		done
	done > "${TMPDIR:-/tmp}/freebsd_only.$$"
	if [ -s "${TMPDIR:-/tmp}/freebsd_only.$$" ]; then
		cat "${TMPDIR:-/tmp}/freebsd_only.$$"
		status=1
	fi
	rm -f "${TMPDIR:-/tmp}/freebsd_only.$$"
fi

if [ -n "$objects" ]; then
	found=0
	for o in $(find "$objects" -type f -name '*.o' -path '*/bin/*' | sort); do
		if [ -n "$exclude" ] && printf '%s' "$o" | grep -q -- "$exclude"; then
			continue
		fi
		found=$((found + 1))
		bad=$(nm -u "$o" | awk '{print $NF}' | sed 's/@.*//' | grep -E "$linux_only")
		if [ -n "$bad" ]; then
			for s in $bad; do
				echo "$o: calls the Linux-only $s"
			done
			status=1
		fi
	done
	if [ "$found" -eq 0 ] && [ "$status" -eq 0 ]; then
		echo "no objects compiled from bin/ below $objects: build the programs first"
		exit 77
	fi
	echo "$found objects checked"
fi

exit $status
