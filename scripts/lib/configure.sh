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

# On a Mac the project builds both architectures unless told otherwise. What links libraries of
# this machine (GoogleTest, libFuzzer, Google Benchmark), which Homebrew installs for this Mac's
# architecture only, and runs here, is built for that one: pass "${this_mac_only[@]}" to cmake.
this_mac_only=()
[ "$(uname -s)" != Darwin ] || this_mac_only=(-DCMAKE_OSX_ARCHITECTURES="$(uname -m)")
