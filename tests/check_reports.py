#!/usr/bin/env python3
"""Checks every report the test runs wrote against the report's schema.

    check_reports.py SCHEMA DIRECTORY

Each *.json file of DIRECTORY (copies of the reports, made by the test harness) is validated;
every problem is printed with the file and the place in it. Exits 1 when a report breaks the
schema or is no JSON, 0 otherwise.
"""
import json
import pathlib
import sys

import jsonschema


def main():
    schema = json.loads(pathlib.Path(sys.argv[1]).read_text())
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    reports = sorted(pathlib.Path(sys.argv[2]).glob("*.json"))
    failed = 0
    for report in reports:
        try:
            document = json.loads(report.read_text())
        except ValueError as error:
            print(f"{report}: not JSON: {error}")
            failed += 1
            continue
        errors = list(validator.iter_errors(document))
        for error in errors:
            place = "/".join(str(part) for part in error.absolute_path)
            print(f"{report}: at /{place}: {error.message}")
        failed += 1 if errors else 0
    print(f"{len(reports)} reports checked, {failed} break the schema.")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
