#!/usr/bin/python3
"""Validates a morvik report against the schema with Debian's python3-jsonschema
and prints the fields the end-to-end tests compare, one KEY=VALUE a line."""
import json
import sys

import jsonschema


def main():
    schema_path, report_path = sys.argv[1], sys.argv[2]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    with open(report_path, encoding="utf-8") as f:
        report = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)
    errors = sorted(validator.iter_errors(report), key=lambda e: list(e.path))
    for e in errors:
        print("invalid=%s: %s" % ("/".join(str(p) for p in e.path), e.message))
    after = report["module"]["after"]["startup_images"]
    print("valid=%d" % (not errors))
    print("exit_code=%d" % report["exit_code"])
    print("exit_name=%s" % report["exit_name"])
    print("changed=%s" % str(report["changed"]).lower())
    print("dry_run=%s" % str(report["dry_run"]).lower())
    print("failed_step=%s" % report["failed_step"])
    print("signal=%s" % report["signal"])
    print("modes=%s" % " ".join("%s:%s" % (m["mode"], m["outcome"]) for m in report["modes"]))
    print("steps=%s" % " ".join(s["step"] for s in report["steps"]))
    print("images=%s" % " ".join("%s:%s:%s" % (i["mode"], i["name"], i["size"])
                                 for i in report["images"]))
    print("after=%s" % " ".join("%s:%s" % (m, after[m]) for m in ("Switch", "TZR", "EHM")))


if __name__ == "__main__":
    main()
