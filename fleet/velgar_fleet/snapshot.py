"""The snapshot file: global_config as of one moment, with that moment's position in the
fleet server's binary log, as data. Text, one record a line:

    velgar-fleet-snapshot 1
    position GTIDS                 (domain-server-sequence, comma-separated; may be empty)
    ID NAME VALUE NODE TYPE DELETED CREATED UPDATED   (tab-separated, one line per row)
    end COUNT

NAME, VALUE and NODE are the column's bytes in upper-case hex (VALUE and NODE \\N for
NULL), TYPE a number or \\N, the times epoch seconds. A file is checked whole before any of
it is used and refused on its first problem, which the refusal names with its line.
"""
import os
import re

MAGIC = b'velgar-fleet-snapshot 1'
MOST_BYTES = 1 << 30
NULL = b'\\N'
# The columns' sizes in hex digits: VARCHAR(255) of utf8mb4, MEDIUMTEXT.
NAME_HEX_MOST = 2040
VALUE_HEX_MOST = 33554430

_HEX = re.compile(rb'(?:[0-9A-F]{2})*')
_INT = re.compile(rb'-?[0-9]{1,10}')
_ID = re.compile(rb'[1-9][0-9]{0,17}')
_EPOCH = re.compile(rb'[0-9]+(?:\.[0-9]+)?')
_POSITION_LINE = re.compile(rb'position ([0-9,-]*)')
_POSITION = re.compile(r'(?:[0-9]+-[0-9]+-[0-9]+(?:,[0-9]+-[0-9]+-[0-9]+)*)?')
_END = re.compile(rb'end ([0-9]+)')


class SnapshotRefused(Exception):
    """The file is not a usable snapshot; the message names its first problem."""


def _hex(field, most):
    return len(field) <= most and _HEX.fullmatch(field) is not None


def _hex_or_null(field, most):
    return field == NULL or _hex(field, most)


def _int(field):
    return len(field) <= 11 and _INT.fullmatch(field) is not None


def _epoch(field):
    return len(field) <= 24 and _EPOCH.fullmatch(field) is not None


def check_row(fields, seen_ids):
    """The problem with one row's fields, or None."""
    if len(fields) != 8:
        return 'not 8 fields'
    row_id, name, value, node_name, config_type, deleted, created, updated = fields
    if not _ID.fullmatch(row_id) or row_id in seen_ids:
        return 'bad or repeated id'
    if not name or not _hex(name, NAME_HEX_MOST):
        return 'name'
    if not _hex_or_null(value, VALUE_HEX_MOST):
        return 'value'
    if not _hex_or_null(node_name, NAME_HEX_MOST):
        return 'node_name'
    if not (config_type == NULL or _int(config_type)) or not _int(deleted):
        return 'config_type or deleted'
    if not _epoch(created) or not _epoch(updated):
        return 'times'
    return None


def read_snapshot(path, rows_out):
    """Checks the snapshot at path and writes its rows, in the form LOAD DATA reads (the
    checked lines themselves), to the open binary file rows_out. Returns (position, rows).
    Raises SnapshotRefused naming the first problem."""
    try:
        if not os.path.isfile(path) or not os.access(path, os.R_OK):
            raise SnapshotRefused(f'cannot read {path}')
        if os.path.getsize(path) > MOST_BYTES:
            raise SnapshotRefused(f'{path} is over 1 GiB')
        with open(path, 'rb') as f:
            return _read_lines(f, rows_out, path)
    except SnapshotRefused:
        raise
    except OSError as error:
        raise SnapshotRefused(f'cannot read {path} ({error.strerror})')


def _read_lines(f, rows_out, path):
    position = None
    count = 0
    ended = False
    seen = set()
    read = 0
    number = 0
    for number, line in enumerate(f, start=1):
        read += len(line)
        if read > MOST_BYTES:
            raise SnapshotRefused(f'{path} is over 1 GiB')
        line = line[:-1] if line.endswith(b'\n') else line

        def bad(what):
            return SnapshotRefused(f'{path} is not a usable snapshot (line {number}: {what})')
        if number == 1:
            if line != MAGIC:
                raise bad('not a snapshot of velgar-fleet server snapshot')
            continue
        if number == 2:
            match = _POSITION_LINE.fullmatch(line)
            if not match:
                raise bad('no position')
            position = match.group(1).decode()
            if not _POSITION.fullmatch(position):
                raise bad('no valid position')
            continue
        if ended:
            raise bad('text after the end line')
        end = _END.fullmatch(line)
        if end:
            ended = True
            if int(end.group(1)) != count:
                raise bad('row count differs')
            continue
        fields = line.split(b'\t')
        problem = check_row(fields, seen)
        if problem:
            raise bad(problem)
        seen.add(fields[0])
        count += 1
        rows_out.write(line + b'\n')
    if not ended:
        raise SnapshotRefused(f'{path} is not a usable snapshot (cut short: no end line)')
    return position, count


def format_row(row_id, name, value, node_name, config_type, deleted, created, updated):
    """One row's line, from the column values as the server holds them (bytes for the text
    columns, None for NULL; the times as epoch seconds in text)."""
    def hex_or_null(data):
        return NULL if data is None else data.hex().upper().encode()

    fields = [str(row_id).encode(), name.hex().upper().encode(), hex_or_null(value),
              hex_or_null(node_name),
              NULL if config_type is None else str(config_type).encode(),
              str(deleted).encode(), created.encode(), updated.encode()]
    return b'\t'.join(fields) + b'\n'


def header(position):
    return MAGIC + b'\n' + b'position ' + position.encode() + b'\n'


def footer(count):
    return b'end ' + str(count).encode() + b'\n'
