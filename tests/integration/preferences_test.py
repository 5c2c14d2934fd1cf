"""The typed preferences store through the companion: values written by one `trellis defaults`
process are read unchanged by new ones, kinds convert on reading, missing values print their
kind's missing result, group names stay inside the folder, and `trellis purge` prints a byte
count. Every case uses its own XDG_CONFIG_HOME. Runs on one thread (see harness.py)."""

import json
import os
import re

from harness import CLI, check, describe_status, require, run_cases


def defaults(ctx, config, *args):
    """Runs `trellis defaults ARGS` with XDG_CONFIG_HOME=config; returns (status, stdout, stderr)."""
    return ctx.run([CLI, "defaults"] + list(args), env=ctx.env(XDG_CONFIG_HOME=config), label="trellis")


def values_outlive_the_process_that_wrote_them(ctx):
    config = ctx.path("config")
    writes = (
        # type, value given, what a new process reads back as that type
        ("int", "-42", "-42"),
        ("float", "0.1", "0.1"),
        ("double", "2.5e-300", "2.5e-300"),
        ("bool", "YES", "true"),
        ("string", "héllo wörld", "héllo wörld"),
        ("url", "https://example.org/a?b=c", "https://example.org/a?b=c"),
        ("data", "00FFa0", "00ffa0"),
    )
    for kind, given, _ in writes:
        status, out, err = defaults(ctx, config, "write", "key-" + kind, given, "--type", kind)
        check(status == 0 and out == "", "defaults write %s %r: %s %r" % (kind, given, describe_status(status), err))
    for kind, _, expected in writes:
        status, out, err = defaults(ctx, config, "read", "key-" + kind, "--type", kind)
        check(status == 0 and out == expected + "\n",
              "defaults read %s as %s: expected %r, got %r (%s, %r)" % ("key-" + kind, kind, expected, out,
                                                                      describe_status(status), err))

    # Reading as another kind, and missing values.
    for key, kind, expected, expected_status in (
            ("key-int", "string", "-42\n", 0),
            ("key-string", "int", "0\n", 0),
            ("key-bool", "double", "1\n", 0),
            ("key-float", "double", "0.10000000149011612\n", 0),
            ("key-data", "string", "", 1),
            ("nothing", "int", "0\n", 0),
            ("nothing", "float", "0\n", 0),
            ("nothing", "bool", "false\n", 0),
            ("nothing", "string", "", 1),
            ("nothing", "url", "", 1)):
        status, out, err = defaults(ctx, config, "read", key, "--type", kind)
        check(status == expected_status and out == expected,
              "defaults read %s --type %s: expected %r with status %d, got %r (%s)" % (
                  key, kind, expected, expected_status, out, describe_status(status)))

    # The document on disk: one typed archive in the folder XDG_CONFIG_HOME names.
    path = os.path.join(config, "trellis", "preferences.json")
    require(os.path.exists(path), "no preferences.json under XDG_CONFIG_HOME/trellis: %s" % os.listdir(config))
    with open(path, encoding="utf-8") as f:
        document = json.load(f)
    check(document["format"] == "trellis-keyed-archive" and document["top"]["values"]["dictionary"]["key-int"] ==
          {"int64": -42}, "unexpected document: %r" % document)

    status, out, err = defaults(ctx, config, "delete", "key-int")
    check(status == 0, "defaults delete: %s %r" % (describe_status(status), err))
    status, out, err = defaults(ctx, config, "read", "key-int", "--type", "int")
    check(out == "0\n", "a deleted key should read as 0, got %r" % out)

    # Refusals: a failure status and a message, nothing written.
    for args in (("write", "k", "abc", "--type", "int"), ("write", "k", "abc", "--type", "data"),
                 ("write", "k", "maybe", "--type", "bool"), ("write", "k", "1", "--type", "long"),
                 ("read", "k", "--group", "")):
        status, out, err = defaults(ctx, config, *args)
        check(status not in (0, None) and err.strip(), "defaults %s should be refused: %s %r" % (
            " ".join(args), describe_status(status), err))
    status, out, err = defaults(ctx, config, "read", "k", "--type", "string")
    check(status == 1 and out == "", "a refused write stored something: %r" % out)


def groups_stay_inside_the_folder(ctx):
    config = ctx.path("config")
    for group in ("../escape", "/etc/x", "plain"):
        status, out, err = defaults(ctx, config, "write", "k", group, "--group", group)
        check(status == 0, "defaults write --group %r: %s %r" % (group, describe_status(status), err))
        status, out, err = defaults(ctx, config, "read", "k", "--group", group)
        check(out == group + "\n", "defaults read --group %r gave %r" % (group, out))
    status, out, err = defaults(ctx, config, "read", "k")
    check(status == 1, "a group's value leaked into the standard domain: %r" % out)
    check(os.listdir(config) == ["trellis"], "files appeared beside the folder: %s" % os.listdir(config))
    files = sorted(f for f in os.listdir(os.path.join(config, "trellis")) if not f.startswith("."))
    check(files == ["suite.%2Fetc%2Fx.json", "suite...%2Fescape.json", "suite.plain.json"],
          "unexpected suite files: %s" % files)


def purge_prints_the_bytes_gained(ctx):
    status, out, err = ctx.run([CLI, "purge"], timeout=30, label="trellis")
    check(status == 0 and re.fullmatch(r"(\d+ B|\d+ KB|\d+\.\d MB|\d+\.\d GB)\n", out),
          "trellis purge should print one byte count: %s %r %r" % (describe_status(status), out, err))


if __name__ == "__main__":
    run_cases([values_outlive_the_process_that_wrote_them, groups_stay_inside_the_folder,
               purge_prints_the_bytes_gained])
