# configure DIR CMAKE-ARGS...: configures the project into DIR; false when that fails. A failed
# configure (a package missing, say) leaves no cache behind, since CMake would reuse its
# failed findings (a compiler or library "NOTFOUND") the next time. Sourced; needs bash.
configure() {
	local dir=$1
	shift
	if ! cmake -S . -B "$dir" "$@"; then
		rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
		echo "${0##*/}: configuring $dir failed; fix the cause above and run again" >&2
		return 1
	fi
}
