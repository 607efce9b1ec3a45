#!/usr/bin/env python3
"""Validates qpxtool's --json documents against the schemas shipped with it.

    json_schema_check.py SCHEMAS DOCUMENTS...
    json_schema_check.py --man PAGE SCHEMAS

SCHEMAS is the folder of qpxtool-COMMAND.schema.json files; each DOCUMENTS
argument is a document or a folder of them (*.json). A document names its
schema in its "schema" key ("qpxtool-list/1"). Each schema is first held to
the vocabulary's own rule: every key of every object is required (a key
that does not apply is null, never left out) and no other key is allowed.
One process for every document: the test suites write theirs to a folder
and this checks them all at once.

With --man, PAGE (qpxtool's manual page, as troff) must name in its JSON
section every key of every schema, under the command's own heading, and no
key that no schema has.
"""

import json
import os
import sys

from jsonschema import Draft202012Validator


def object_schemas(schema, where):
    """Every schema of an object below `schema` (itself included), with its path."""
    if isinstance(schema, dict):
        if "properties" in schema:
            yield where, schema
        for key, value in schema.items():
            if key == "properties":
                for name, sub in value.items():
                    yield from object_schemas(sub, where + "." + name)
            elif key == "items":
                yield from object_schemas(value, where + "[]")


def schema_faults(name, schema):
    faults = []
    try:
        Draft202012Validator.check_schema(schema)
    except Exception as error:  # the library's own error words
        faults.append(f"{name}: not a valid schema: {error}")
    for where, sub in object_schemas(schema, name):
        if sorted(sub.get("required", [])) != sorted(sub["properties"]):
            faults.append(f"{where}: not every key is required")
        if sub.get("additionalProperties") is not False:
            faults.append(f"{where}: other keys are allowed")
        for key, value in sub["properties"].items():
            if not value.get("description"):
                faults.append(f"{where}.{key}: no description")
    return faults


def key_paths(schema, prefix=""):
    """The keys below `schema`, by their paths from the document (records[].code)."""
    paths = []
    for key, sub in schema.get("properties", {}).items():
        paths.append(prefix + key)
        paths += key_paths(sub, prefix + key + ".")
        if "items" in sub:
            paths += key_paths(sub["items"], prefix + key + "[].")
    return paths


def troff_text(text):
    return text.replace("\\-", "-").replace("\\e", "\\")


def man_faults(page_path, schemas):
    """What the page's JSON section leaves out of the schemas, or adds."""
    with open(page_path, encoding="utf-8") as file:
        page = file.read()
    faults = []
    if "\\e\\-\\e\\-" in page:
        faults.append(f"{page_path}: shows a backslash before an option's dashes")
    section = page.split("\n.SH JSON OUTPUT\n", 1)
    if len(section) < 2:
        return faults + [f"{page_path}: no JSON OUTPUT section"]
    section = section[1].split("\n.SH ", 1)[0]
    named, command = {}, None
    lines = section.split("\n")
    for at, line in enumerate(lines):
        if line.startswith(".SS "):
            command = troff_text(line[4:].strip())
            named[command] = []
        elif line == ".TP" and at + 1 < len(lines) and lines[at + 1].startswith(".B ") and command:
            named[command].append(troff_text(lines[at + 1][3:].strip()))
    for name, schema in schemas.items():
        command = name[len("qpxtool-"):].split("/")[0]
        want = key_paths(schema)
        have = named.get(command)
        if have is None:
            faults.append(f"{page_path}: no JSON keys for {command}")
        else:
            for key in sorted(set(want) - set(have)):
                faults.append(f"{page_path}: {command}: {key} is not named")
            for key in sorted(set(have) - set(want)):
                faults.append(f"{page_path}: {command}: {key} is in no schema")
            if len(have) != len(set(have)):
                faults.append(f"{page_path}: {command}: a key is named twice")
    for command in sorted(set(named) - {n[len("qpxtool-"):].split("/")[0] for n in schemas}):
        faults.append(f"{page_path}: {command}: no schema")
    return faults


def documents(arguments):
    for argument in arguments:
        if not os.path.exists(argument):
            continue  # a folder no suite wrote to: no documents, said below
        if os.path.isdir(argument):
            for entry in sorted(os.listdir(argument)):
                if entry.endswith(".json"):
                    yield os.path.join(argument, entry)
        else:
            yield argument


def main(arguments):
    if len(arguments) < 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    page = None
    if arguments[0] == "--man":
        page, arguments = arguments[1], arguments[2:]
    folder = arguments[0]
    validators, schemas, faults = {}, {}, []
    for entry in sorted(os.listdir(folder)):
        if not entry.endswith(".schema.json"):
            continue
        with open(os.path.join(folder, entry), encoding="utf-8") as file:
            schema = json.load(file)
        faults += schema_faults(entry, schema)
        validators[schema["properties"]["schema"]["const"]] = Draft202012Validator(schema)
        schemas[schema["properties"]["schema"]["const"]] = schema
    if page is not None:
        faults += man_faults(page, schemas)
        for fault in faults:
            print(fault, file=sys.stderr)
        print(f"json_schema_check: {page} against {len(schemas)} schemas, {len(faults)} faults")
        return 1 if faults else 0
    checked = 0
    for path in documents(arguments[1:]):
        checked += 1
        with open(path, encoding="utf-8") as file:
            text = file.read()
        try:
            document = json.loads(text)
        except ValueError as error:
            faults.append(f"{path}: not JSON: {error}")
            continue
        name = document.get("schema") if isinstance(document, dict) else None
        if name not in validators:
            faults.append(f"{path}: no shipped schema is {name!r}")
            continue
        for error in sorted(validators[name].iter_errors(document), key=lambda e: list(e.absolute_path)):
            where = "/".join(str(part) for part in error.absolute_path)
            faults.append(f"{path}: {name} at /{where}: {error.message}")
    for fault in faults:
        print(fault, file=sys.stderr)
    if checked == 0:
        print("json_schema_check: no documents to check", file=sys.stderr)
        return 1
    print(f"json_schema_check: {checked} documents against {len(validators)} schemas, "
          f"{len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
