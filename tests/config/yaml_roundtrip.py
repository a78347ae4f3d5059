#!/usr/bin/env python3
"""Reads engine configurations back with a real YAML parser (PyYAML, the
stricter YAML 1.1 reader) and checks that each holds exactly the credentials
it was written with, and the rules of REFERENCE (a file without credentials).

usage: yaml_roundtrip.py MANIFEST.json REFERENCE.yaml
The manifest is a list of {"file", "username", "password"}; an empty
credential means the field is absent from the upstream.
Prints one line per mismatch and exits 1 if there was any.
"""
import json
import sys

import yaml

KEYS = {"log-level", "mode", "ipv6", "tun", "proxies", "rules"}


def check(entry, rules):
    with open(entry["file"], encoding="utf-8") as f:
        doc = yaml.safe_load(f)
    problems = []
    if set(doc) != KEYS:
        problems.append(f"top-level keys {sorted(doc)}")
    proxies = doc.get("proxies") or []
    if len(proxies) != 1:
        problems.append(f"{len(proxies)} proxies")
    else:
        p = proxies[0]
        if p.get("name") != "upstream":
            problems.append(f"proxy name {p.get('name')!r}")
        for key in ("username", "password"):
            got = p.get(key, "")
            if got != entry[key]:
                problems.append(f"{key}: wrote {entry[key]!r}, read {got!r}")
    if doc.get("rules") != rules:
        problems.append("rules differ")
    return problems


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        manifest = json.load(f)
    with open(sys.argv[2], encoding="utf-8") as f:
        rules = yaml.safe_load(f)["rules"]
    if len(rules) < 20:
        print(f"{sys.argv[2]}: only {len(rules)} rules")
        return 1
    failures = 0
    for entry in manifest:
        try:
            problems = check(entry, rules)
        except yaml.YAMLError as e:
            problems = [f"not YAML: {e}"]
        for p in problems:
            print(f"{entry['file']}: {p}")
        failures += bool(problems)
    print(f"{len(manifest)} files read, {failures} with mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
