"""The snapshot reader against input made by machines (Hypothesis, and a mutation fuzzer for
long runs): rows of any content that the writer wrote read back as written; any bytes at
all, and any damage to a good snapshot, are either read whole or refused with
SnapshotRefused (never another error), and every row line that is passed on to LOAD DATA
passes the row checks, once per id.

    python3 fleet/test/test_snapshot_properties.py --runs N    mutates good snapshots N times
"""
import io
import os
import random
import sys
import tempfile

from hypothesis import HealthCheck, given, settings, strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))

from velgar_fleet import snapshot  # noqa: E402
from velgar_fleet.snapshot import SnapshotRefused, read_snapshot  # noqa: E402

EXAMPLES = int(os.environ.get('SNAPSHOT_PROPERTY_EXAMPLES', '300'))
CHECKS = settings(max_examples=EXAMPLES, deadline=None,
                  suppress_health_check=[HealthCheck.function_scoped_fixture,
                                         HealthCheck.too_slow])

INT32 = st.integers(-2**31, 2**31 - 1)
EPOCH = st.from_regex(r'[0-9]{1,10}(\.[0-9]{1,6})?', fullmatch=True)
ROW = st.tuples(st.integers(1, 10**17), st.binary(min_size=1, max_size=255),
                st.none() | st.binary(max_size=2000), st.none() | st.binary(max_size=255),
                st.none() | INT32, INT32, EPOCH, EPOCH)
ROWS = st.lists(ROW, max_size=20, unique_by=lambda row: row[0])
GTID = st.tuples(st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1), st.integers(0, 2**64 - 1))
POSITION = st.lists(GTID, max_size=4).map(lambda ids: ','.join('%d-%d-%d' % g for g in ids))


def snapshot_bytes(position, rows):
    return (snapshot.header(position) + b''.join(snapshot.format_row(*row) for row in rows) +
            snapshot.footer(len(rows)))


def read(path, data):
    """read_snapshot on `data`: (position, count, the row lines passed on), or None when
    refused."""
    with open(path, 'wb') as f:
        f.write(data)
    out = io.BytesIO()
    try:
        position, count = read_snapshot(path, out)
    except SnapshotRefused as refused:
        assert str(refused)
        return None
    return position, count, out.getvalue()


def check_passed_on(result):
    """What a read passed on: `count` lines, each a row that the checks take, no id twice."""
    if result is None:
        return
    _, count, lines = result
    rows = lines.split(b'\n')
    assert rows.pop() == b''
    assert len(rows) == count
    seen = set()
    for line in rows:
        fields = line.split(b'\t')
        assert snapshot.check_row(fields, seen) is None
        seen.add(fields[0])


@CHECKS
@given(position=POSITION, rows=ROWS)
def test_what_the_writer_writes_reads_back(tmp_path, position, rows):
    result = read(str(tmp_path / 'snap'), snapshot_bytes(position, rows))
    assert result == (position, len(rows), b''.join(snapshot.format_row(*row) for row in rows))


@CHECKS
@given(data=st.binary(max_size=4000))
def test_any_bytes_are_read_or_refused(tmp_path, data):
    check_passed_on(read(str(tmp_path / 'snap'), data))


@CHECKS
@given(position=POSITION, rows=ROWS, edits=st.lists(
    st.tuples(st.integers(0, 10**6), st.sampled_from(['flip', 'cut', 'insert', 'drop']),
              st.integers(0, 255)), min_size=1, max_size=8))
def test_a_damaged_snapshot_is_read_or_refused(tmp_path, position, rows, edits):
    data = bytearray(snapshot_bytes(position, rows))
    for where, edit, byte in edits:
        mutate(data, where, edit, byte)
    check_passed_on(read(str(tmp_path / 'snap'), bytes(data)))


# Bytes that mean something to the reader, for the mutations.
TOKENS = [b'\t', b'\n', b'\r', b'\\N', b'-', b',', b'.', b'0', b'9', b'A', b'a', b'end ',
          b'position ', snapshot.MAGIC]


def mutate(data, where, edit, byte):
    if not data:
        data.extend(TOKENS[byte % len(TOKENS)])
        return
    at = where % len(data)
    if edit == 'flip':
        data[at] = byte
    elif edit == 'cut':
        del data[at:]
    elif edit == 'insert':
        data[at:at] = TOKENS[byte % len(TOKENS)] if byte % 2 else bytes([byte])
    else:
        del data[at:at + 1 + byte % 16]


def fuzz(runs, seed=1):
    """Mutates writer-made snapshots `runs` times; returns how many were read whole."""
    rng = random.Random(seed)
    accepted = 0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, 'snap')
        for _ in range(runs):
            rows = [(i, rng.randbytes(rng.randint(1, 8)), rng.choice([None, rng.randbytes(6)]),
                     rng.choice([None, b'', b'arm']), rng.choice([None, 1, 2]), rng.randint(0, 1),
                     '1765370650.%d' % rng.randint(0, 999), '1765370651')
                    for i in rng.sample(range(1, 50), rng.randint(0, 4))]
            data = bytearray(snapshot_bytes(rng.choice(['', '0-1-42', '0-1-42,1-2-3']), rows))
            for _ in range(rng.randint(1, 4)):
                mutate(data, rng.randrange(1 << 20), rng.choice(['flip', 'cut', 'insert', 'drop']),
                       rng.randrange(256))
            result = read(path, bytes(data))
            check_passed_on(result)
            accepted += result is not None
    return accepted


def test_mutated_snapshots_are_read_or_refused():
    fuzz(int(os.environ.get('SNAPSHOT_FUZZ_RUNS', '2000')))


if __name__ == '__main__':
    runs = int(sys.argv[sys.argv.index('--runs') + 1]) if '--runs' in sys.argv else 100000
    read_whole = fuzz(runs)
    print(f'snapshot: {runs} inputs tried, {read_whole} read whole, the rest refused')
