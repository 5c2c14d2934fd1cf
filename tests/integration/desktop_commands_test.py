"""The companion's desktop commands as a person runs them: `trellis permissions` prints the three
states this process has, and `trellis run-script` runs a handler of an executable script from a
resources folder, or, in a sandbox, from the user's scripts folder, asking (headless: answering
"Cancel") before it installs one. Runs on one thread (see harness.py)."""

import json
import os
import stat
import subprocess

from harness import CLI, check, require, run_cases

SCRIPT = """#!/bin/sh
input=$(cat)
case "$1" in
  greet) printf 'hello %s\\n' "$(printf '%s' "$input" | python3 -c 'import json,sys; print(json.load(sys.stdin)["parameters"]["----"]["items"][0]["value"])')" ;;
  call) printf '%s' "$input" ;;
  count) echo 3 ;;
  fail) echo "it broke" >&2; exit 4 ;;
esac
"""


def desktop_env(ctx, **extra):
    env = ctx.env(**extra)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "APP_SANDBOX_CONTAINER_ID", "FLATPAK_ID", "TRELLIS_RESOURCES"):
        if name not in extra:
            env.pop(name, None)
    env["LANG"] = "C.UTF-8"
    env.pop("LANGUAGE", None)
    env.pop("LC_ALL", None)
    env.pop("LC_MESSAGES", None)
    return env


def trellis(ctx, *args, env=None):
    done = subprocess.run([CLI] + list(args), env=env or desktop_env(ctx), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=30)
    check("Sanitizer" not in done.stderr and "runtime error:" not in done.stderr,
          "trellis %s reported a sanitizer error:\n%s" % (" ".join(args), done.stderr[-4000:]))
    return done


def write_script(folder, name):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "w") as script:
        script.write(SCRIPT)
    os.chmod(path, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP)
    return path


def permissions_show_the_three_states(ctx):
    text = trellis(ctx, "permissions")
    require(text.returncode == 0, "trellis permissions failed: %r" % (text.stderr,))
    expected = {
        "accessibility": os.access("/dev/uinput", os.W_OK),
        "screenCapture": False,  # no display in the test's environment
        "fullDiskAccess": any(os.access(p, os.R_OK) for p in ("/etc/shadow", "/root")),
    }
    lines = [line.split(":", 1) for line in text.stdout.splitlines()]
    check([name for name, _ in lines] == ["accessibility", "screen capture", "full disk access"],
          "unexpected lines: %r" % text.stdout)
    shown = [state.strip() == "granted" for _, state in lines]
    check(shown == [expected["accessibility"], expected["screenCapture"], expected["fullDiskAccess"]],
          "states %r, expected %r" % (text.stdout, expected))
    as_json = trellis(ctx, "permissions", "--json")
    check(json.loads(as_json.stdout) == expected, "--json gave %r, expected %r" % (as_json.stdout, expected))


def run_script_from_the_resources_folder(ctx):
    resources = ctx.path("resources")
    write_script(resources, "tool.scpt")

    greet = trellis(ctx, "run-script", "--resources", resources, "tool", "greet", "world")
    check(greet.returncode == 0 and greet.stdout == "hello world\n", "greet: %r %r" % (greet.stdout, greet.stderr))

    count = trellis(ctx, "run-script", "--resources", resources, "tool.scpt", "count")
    check(json.loads(count.stdout) == {"type": "long", "value": 3}, "a number prints as its descriptor: %r" % count.stdout)
    greet_json = trellis(ctx, "run-script", "--json", "--resources", resources, "tool", "greet", "you")
    check(json.loads(greet_json.stdout) == {"type": "utxt", "value": "hello you"}, "--json: %r" % greet_json.stdout)

    call = trellis(ctx, "run-script", "--resources", resources, "tool", "call", "true", "True", "3", "2.5")
    event = json.loads(call.stdout)
    check(event["parameters"]["snam"] == {"type": "utxt", "value": "call"}, "handler name: %r" % event)
    check(event["parameters"]["----"]["items"] == [
        {"type": "bool", "value": True}, {"type": "utxt", "value": "True"},
        {"type": "long", "value": 3}, {"type": "doub", "value": 2.5}], "arguments: %r" % event)

    fail = trellis(ctx, "run-script", "--resources", resources, "tool", "fail")
    check(fail.returncode == 1 and "NSPOSIXErrorDomain 2" in fail.stderr and "it broke" in fail.stderr,
          "a failing script: %d %r" % (fail.returncode, fail.stderr))

    for name, message in (("missing", "script file not exist : missing.scpt"),
                          ("../resources/tool", "file name is incorrect: ../resources/tool")):
        refused = trellis(ctx, "run-script", "--resources", resources, name, "greet")
        check(refused.returncode == 3 and message in refused.stderr and refused.stdout == "",
              "%s: %d %r" % (name, refused.returncode, refused.stderr))


def run_script_in_a_sandbox(ctx):
    resources = ctx.path("resources")
    data = ctx.path("data")
    write_script(resources, "tool.scpt")
    env = desktop_env(ctx, APP_SANDBOX_CONTAINER_ID="org.trellis.test", XDG_DATA_HOME=data)

    # Not installed: the consent alert is answered "Cancel" without a display, and nothing runs.
    first = trellis(ctx, "run-script", "--resources", resources, "tool", "greet", "x", env=env)
    check(first.returncode == 3 and "no display for the alert" in first.stderr and "Install first" in first.stderr,
          "uninstalled script: %d %r" % (first.returncode, first.stderr))
    check(os.path.isdir(os.path.join(data, "trellis", "Scripts")), "the scripts folder was not made")

    write_script(os.path.join(data, "trellis", "Scripts"), "tool.scpt")
    installed = trellis(ctx, "run-script", "--resources", resources, "tool", "greet", "there", env=env)
    check(installed.returncode == 0 and installed.stdout == "hello there\n",
          "installed script: %d %r %r" % (installed.returncode, installed.stdout, installed.stderr))


if __name__ == "__main__":
    run_cases([permissions_show_the_three_states, run_script_from_the_resources_folder, run_script_in_a_sandbox])
