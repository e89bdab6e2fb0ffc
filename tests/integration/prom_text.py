#!/usr/bin/env python3
"""Reads Prometheus text (0.0.4) from the file named on the command line
with the reference parser and prints each sample as one line,
name{label=value,...} value, labels sorted. Fails when the text does not
parse, or a family has no TYPE or no HELP."""
import sys

from prometheus_client.parser import text_string_to_metric_families

with open(sys.argv[1], encoding="utf-8") as f:
    text = f.read()
for family in text_string_to_metric_families(text):
    if family.type == "unknown" or not family.documentation:
        sys.exit(f"{family.name}: no TYPE or no HELP")
    for s in family.samples:
        labels = ",".join(f"{k}={v}" for k, v in sorted(s.labels.items()))
        value = int(s.value) if s.value.is_integer() else s.value
        print(f"{s.name}{{{labels}}} {value}")
