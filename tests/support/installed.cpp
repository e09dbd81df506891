#include "support/installed.h"

#include <gtest/gtest.h>

namespace kestro::test {

void stage_bundle(const std::string& dir, const std::string& version, const std::string& identity,
                  const std::string& identifier) {
  make_dirs(dir + "/Contents/MacOS");
  write_file(dir + "/Contents/version.txt", version);
  write_file(dir + "/Contents/Info.plist",
             "<plist><dict><key>CFBundleIdentifier</key><string>" + identifier + "</string>\n");
  write_file(dir + "/Contents/MacOS/Kestro", "#!/bin/sh\n");
  // The helper that swaps it into place, run by the root shell from roottmp/: one that runs the
  // sandbox's copy of the built one keeps the zips small.
  write_file(dir + "/Contents/MacOS/kestro-update",
             "#!/bin/sh\nexec \"${0%/roottmp/*}/kestro-update\" \"$@\"\n");
  shell("chmod +x " + sh_quote(dir + "/Contents/MacOS/kestro-update"));
  const std::string standin = KESTRO_STANDIN;  // run by the tool name it acts on
  const std::string codesign = standin.substr(0, standin.rfind('/')) + "/bin/codesign";
  if (!identity.empty()) shell(codesign + " --sign " + sh_quote(identity) + " " + sh_quote(dir));
}

std::string version_of(const std::string& bundle) {
  return read_file(bundle + "/Contents/version.txt");
}

std::string zip_stage(const std::string& stage, const std::string& archive) {
  shell("cd " + sh_quote(stage) + " && zip -q -r -y " + sh_quote(archive) + " .");
  return archive;
}

std::string zip_one_bundle(const Sandbox& box, const std::string& version) {
  const std::string stage = box.path("stage-" + version);
  stage_bundle(stage + "/Kestro.app", version);
  return zip_stage(stage, box.path("update-" + version + ".zip"));
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Installed::Installed(const std::string& bundle_rel, const std::string& identity)
    : bundle(box.path(bundle_rel)) {
  box.add_tools();
  stage_bundle(bundle, "1", identity);
  put_helper();
}

void Installed::put_helper() const {
  shell("cp -p " + sh_quote(KESTRO_UPDATE_BINARY) + " " + sh_quote(helper()));
}

std::string Installed::extracted(const std::string& rel) const {
  return box.extract_dir() + "/" + rel;
}

RunResult Installed::run(const std::string& archive, const std::string& relaunch,
                         const RunOptions& options) const {
  return box.run({"--wait-pid", std::to_string(wait_pid), "--install", archive, "--relaunch",
                  relaunch.empty() ? bundle : relaunch},
                 options, helper());
}

void Installed::wrap_tool(const std::string& tool, const std::string& prelude) const {
  // The stand-in is called by its tool name, which it dispatches on.
  const std::string real = box.path("real/" + tool);
  make_dirs(box.path("real"));
  shell("ln -s " + sh_quote(box.standin()) + " " + sh_quote(real) +
        " && ln -sf ../bin/standin.env " + sh_quote(box.path("real/standin.env")));
  shell("rm " + sh_quote(box.path("bin/" + tool)));
  write_file(box.path("bin/" + tool),
             "#!/bin/sh\ncase :$PATH: in *:/usr/bin:*) ;; *) PATH=$PATH:/usr/bin:/bin ;; esac\n" +
                 prelude + "\nexec " + sh_quote(real) + " \"$@\"\n");
  shell("chmod +x " + sh_quote(box.path("bin/" + tool)));
}

std::vector<std::string> Installed::head(const std::string& archive,
                                         const std::string& relaunch) const {
  return {"start: wait_pid=" + std::to_string(wait_pid) + " install=" + archive +
              " relaunch=" + (relaunch.empty() ? bundle : relaunch) + " os=macos",
          "parent exited; applying artifact",
          "ditto -x -k " + archive + " -> " + box.extract_dir()};
}

std::vector<std::string> Installed::up_to_prompt(const std::string& archive,
                                                 const std::string& status,
                                                 const std::string& relaunch) const {
  return concat(head(archive, relaunch),
                {"replacing " + bundle + " with " + extracted(),
                 std::string("installed build's designated requirement: ") + kRequirement,
                 "codesign exit: 0", "osascript exit: " + status});
}

std::vector<std::string> Installed::applied_log(const std::string& archive) const {
  return concat(up_to_prompt(archive, "0"),
                {"applied; relaunching " + bundle, "open " + bundle, "done"});
}

void Installed::expect_failed_before_unpacking(const RunResult& result, const std::string& archive,
                                               const std::string& error) const {
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "kestro-update: " + error + "\n");
  EXPECT_EQ(box.log_messages(result.pid),
            concat({head(archive)[0], head(archive)[1]}, failed_tail(error)));
  EXPECT_EQ(box.calls(), std::vector<std::string>{"open " + sh_quote(bundle)});
}

std::string Installed::unpack_call(const std::string& archive) const {
  return "ditto '-x' '-k' " + sh_quote(archive) + " " + sh_quote(box.extract_dir());
}

std::vector<std::string> Installed::failed_tail(const std::string& error,
                                                const std::string& relaunch) const {
  const std::string app = relaunch.empty() ? bundle : relaunch;
  return {"FAILED at apply: " + error, "open " + bundle,
          "relaunched " + app + " after the failed apply; the machine keeps the build it had"};
}

}  // namespace kestro::test
