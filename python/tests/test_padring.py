"""The Python package against real rings: a C++ producer and consumer
(padring, named by QOR_PADRING_TOOL), another user's ring, and the missed count."""

import itertools
import os
import re
import signal
import subprocess
import time

import pytest

import qor_padring as q

PADRING = os.environ.get("QOR_PADRING_TOOL", "padring")
_names = itertools.count()


@pytest.fixture
def name():
    ring = f"qor-python-test-{os.getpid()}-{next(_names)}"
    yield ring
    if os.path.exists("/dev/shm/" + ring):
        os.unlink("/dev/shm/" + ring)


def sequence_of(sample):
    """The number padring's producer weaves into bits 16 to 31 of three fields."""
    return (sample.hold >> 16) | (sample.trigger >> 16) << 16 | (sample.release >> 16) << 32


def test_the_codes_are_the_c_librarys():
    header = os.path.join(os.path.dirname(__file__), "..", "..", "include", "qor", "padring.h")
    with open(header) as text:
        codes = {name: int(value) for name, value in re.findall(r"QOR_PADRING_(\w+) = (\d+)",
                                                                 text.read())}
    assert {code.name: code.value for code in q.Code} == codes


def test_python_reads_what_a_cpp_producer_writes_and_counts_what_it_passed_over(name):
    producer = subprocess.Popen([PADRING, "produce", "--name", name, "--rate", "2000"],
                                stdout=subprocess.PIPE, text=True)
    try:
        assert producer.stdout.readline().startswith("producing into"), "the ring is made"
        with q.Consumer(name) as consumer:
            assert consumer.producer_alive
            newest, missed_in_all = None, 0
            for pause in [0.001, 0.03] * 15:  # some reads fall a lap or more behind
                time.sleep(pause)
                samples, missed, exact = consumer.read()
                numbers = [sequence_of(sample) for sample in samples]
                assert numbers == list(range(numbers[0], numbers[0] + len(numbers))) if numbers \
                    else missed == 0
                passed_over = 0 if newest is None or not numbers else numbers[0] - newest - 1
                assert missed == passed_over if exact else 0 <= missed <= passed_over
                newest = numbers[-1] if numbers else newest
                missed_in_all += missed
            assert missed_in_all > 0
    finally:
        producer.send_signal(signal.SIGINT)
        assert producer.wait(timeout=10) == 0


def test_a_cpp_consumer_reads_what_python_writes_and_a_bad_sample_writes_nothing(name):
    with q.Producer(name) as producer, q.Consumer(name) as consumer:
        producer.write([q.Sample(0x10 + n, 1 << n, 0, 100 * n, -100 * n) for n in range(3)])
        dump = subprocess.run([PADRING, "dump", "--name", name], capture_output=True, text=True,
                              check=True).stdout
        assert consumer.read() == ([(0x10 + n, 1 << n, 0, 100 * n, -100 * n) for n in range(3)],
                                   0, True)
        with pytest.raises(ValueError, match="stick_y 40000 is outside -32768..32767"):
            producer.write([q.Sample(60, 0, 0, 0, 0), q.Sample(61, 0, 0, 0, 40000)])
        with pytest.raises(ValueError, match="hold 4294967296"):
            producer.write([(1 << 32, 0, 0, 0, 0)])
        assert consumer.read() == ([], 0, True), "a refused batch wrote nothing"
    slots = [line.split() for line in dump.splitlines() if line.split()[1:2] == ["current"]]
    assert [(slot[3], slot[4], slot[6], slot[7]) for slot in slots] == [
        ("0x00000010", "0x00000001", "0", "0"),
        ("0x00000011", "0x00000002", "100", "-100"),
        ("0x00000012", "0x00000004", "200", "-200"),
    ]

    with pytest.raises(q.PadRingError, match="no shared-memory object has that name") as error:
        q.Consumer(name + "-none")
    assert error.value.code == q.Code.NOT_FOUND


def test_another_users_ring_is_read_only_when_its_owner_is_named(name):
    if os.geteuid() != 0:
        pytest.skip("giving a ring to another user needs root")
    q.Producer(name).close()
    os.chown("/dev/shm/" + name, 54321, -1)  # a user number no account has
    with pytest.raises(q.PadRingError, match="owner uid 54321, mode 0600") as refused:
        q.Consumer(name)
    assert refused.value.code == q.Code.UNTRUSTED_OWNER
    with q.Consumer(name, owner=54321) as consumer:
        assert consumer.read() == ([], 0, True)
