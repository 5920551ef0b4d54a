"""The snapshot file: what the server writes reads back as the same rows, and every form of
damage is refused with its first problem named, before anything is loaded."""
import io
import os

import pytest

from velgar_fleet import snapshot
from velgar_fleet.snapshot import SnapshotRefused, read_snapshot

ROW = b'7\t7370656564\t7331\t666C6565745F61726D\t1\t0\t1765370650.123\t1765370651.000'
FILE_ROW = b'9\t6C696D6974732E79616D6C\t\\N\t\\N\t2\t0\t1765370650\t1765370650'


def write(tmp_path, *lines, name='snap.txt'):
    path = tmp_path / name
    path.write_bytes(b''.join(line + b'\n' for line in lines))
    return str(path)


def whole(*rows, position=b'0-1-42'):
    return [snapshot.MAGIC, b'position ' + position, *rows,
            b'end ' + str(len(rows)).encode()]


def refusal(path):
    with pytest.raises(SnapshotRefused) as refused:
        read_snapshot(path, io.BytesIO())
    return str(refused.value)


def test_rows_and_position_come_back_as_written(tmp_path):
    out = io.BytesIO()
    position, count = read_snapshot(write(tmp_path, *whole(ROW, FILE_ROW,
                                                           position=b'0-1-42,1-1001-3')), out)
    assert (position, count) == ('0-1-42,1-1001-3', 2)
    # What LOAD DATA reads is the checked lines themselves.
    assert out.getvalue() == ROW + b'\n' + FILE_ROW + b'\n'


def test_an_empty_table_and_an_empty_position_are_a_snapshot(tmp_path):
    assert read_snapshot(write(tmp_path, *whole(position=b'')), io.BytesIO()) == ('', 0)


def test_the_writer_and_the_reader_agree(tmp_path):
    rows = [(1, b'speed', b's0', b'fleet_arm', 1, 0, '1765370650.123', '1765370650.123'),
            (5, 'gr\u00fc\u00df.yaml'.encode(), b'a\tb\\N\n', None, None, 1, '0', '1'),
            (6, b'x', None, b'', 2, -1, '1765370650', '1765370651.5')]
    data = snapshot.header('0-1-9') + b''.join(snapshot.format_row(*r) for r in rows) + \
        snapshot.footer(len(rows))
    path = tmp_path / 'round.txt'
    path.write_bytes(data)
    out = io.BytesIO()
    assert read_snapshot(str(path), out) == ('0-1-9', 3)
    fields = [line.split(b'\t') for line in out.getvalue().splitlines()]
    assert bytes.fromhex(fields[1][2].decode()) == b'a\tb\\N\n'
    assert fields[1][3] == fields[1][4] == b'\\N'
    assert fields[2][2] == b'\\N' and fields[2][3] == b''


@pytest.mark.parametrize('lines, problem', [
    ([b'velgar-fleet-snapshot 2', b'position ', b'end 0'], 'line 1: not a snapshot'),
    ([snapshot.MAGIC, b'DELETE FROM global_config;', b'end 0'], 'line 2: no position'),
    ([snapshot.MAGIC, b'position 0-1', b'end 0'], 'line 2: no valid position'),
    ([snapshot.MAGIC, b'position 0-1-2,', b'end 0'], 'line 2: no valid position'),
    (whole()[:2] + [b'DELETE FROM global_config;'], 'line 3: not 8 fields'),
    (whole(ROW + b'\t1'), 'line 3: not 8 fields'),
    (whole(b''), 'line 3: not 8 fields'),
    (whole(ROW)[:3], 'cut short: no end line'),
    (whole(ROW)[:3] + [b'end 2'], 'line 4: row count differs'),
    (whole(ROW) + [ROW], 'line 5: text after the end line'),
    (whole(ROW, ROW), 'line 4: bad or repeated id'),
    (whole(b'0' + ROW[1:]), 'line 3: bad or repeated id'),
    (whole(b'1234567890123456789' + ROW[1:]), 'line 3: bad or repeated id'),
    (whole(ROW.replace(b'7370656564', b'')), 'line 3: name'),
    (whole(ROW.replace(b'666C6565745F61726D', b'666c6565745f61726d')), 'line 3: node_name'),
    (whole(ROW.replace(b'7370656564', b'737065656')), 'line 3: name'),
    (whole(ROW.replace(b'7370656564', b'AB' * 1021)), 'line 3: name'),
    (whole(ROW.replace(b'\t7331\t', b'\tNULL\t')), 'line 3: value'),
    (whole(ROW.replace(b'666C6565745F61726D', b"'; DROP")), 'line 3: node_name'),
    (whole(ROW.replace(b'\t1\t0\t', b'\t1.5\t0\t')), 'line 3: config_type or deleted'),
    (whole(ROW.replace(b'\t1\t0\t', b'\t1\t\\N\t')), 'line 3: config_type or deleted'),
    (whole(ROW.replace(b'1765370650.123', b'now()')), 'line 3: times'),
    (whole(ROW + b'\r'), 'line 3: times'),
])
def test_a_damaged_snapshot_is_refused_naming_its_first_problem(tmp_path, lines, problem):
    path = write(tmp_path, *lines)
    assert refusal(path).startswith(f'{path} is not a usable snapshot ({problem}')


def test_a_value_of_the_largest_size_passes_and_one_byte_more_does_not(tmp_path):
    largest = ROW.replace(b'\t7331\t', b'\t' + b'AB' * (snapshot.VALUE_HEX_MOST // 2) + b'\t')
    assert read_snapshot(write(tmp_path, *whole(largest)), io.BytesIO())[1] == 1
    larger = ROW.replace(b'\t7331\t', b'\t' + b'AB' * (snapshot.VALUE_HEX_MOST // 2 + 1) + b'\t')
    assert 'line 3: value' in refusal(write(tmp_path, *whole(larger)))


def test_a_file_over_1_gib_is_refused_unread(tmp_path):
    path = tmp_path / 'huge.txt'
    with open(path, 'wb') as f:
        f.truncate(snapshot.MOST_BYTES + 1)
    assert refusal(str(path)) == f'{path} is over 1 GiB'


def test_what_is_not_a_readable_file_is_refused(tmp_path):
    assert refusal(str(tmp_path)) == f'cannot read {tmp_path}'
    assert refusal(str(tmp_path / 'none')).startswith('cannot read')
    if os.geteuid() != 0:
        path = write(tmp_path, *whole())
        os.chmod(path, 0)
        assert refusal(path).startswith('cannot read')
