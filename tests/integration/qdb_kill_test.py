#!/usr/bin/env python3
"""Kills `norva-cli qdb put` with SIGKILL at random moments while it writes an archive. After each
kill, `norva-cli qdb dump` and the reader below (written from the container layout alone) must
accept the file, and every item whose put finished must be there with its bytes.

With a third argument, the password driver writes and dumps a password-protected archive instead
(norva-cli opens none), and the reader unscrambles it."""
import hashlib
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage


CHUNK = 524288


def keystream(password):
    """The generator's words S1, S2, ... of one chunk (and a tail), little-endian."""
    key = hashlib.sha1(password.encode('latin-1')).digest()
    seed = 0
    for w in struct.unpack('<5I', key):
        seed ^= w
    out, s = bytearray(4 * (CHUNK // 4 + 3)), seed
    for i in range(CHUNK // 4 + 3):
        s = (s * 1664525 + 1013904223) & 0xFFFFFFFF
        struct.pack_into('<I', out, 4 * i, s)
    return key, bytes(out)


def unscramble(section, stream):
    """Each chunk of 524288 bytes from the start: words XOR S1, S2, ...; the last bytes of a
    chunk not filling a word XOR the low bytes of the steps that follow."""
    out = bytearray(len(section))
    for c in range(0, len(section), CHUNK):
        chunk = section[c:c + CHUNK]
        words = len(chunk) - len(chunk) % 4
        x = int.from_bytes(chunk[:words], 'little') ^ int.from_bytes(stream[:words], 'little')
        out[c:c + words] = x.to_bytes(words, 'little')
        for i in range(len(chunk) - words):
            out[c + words + i] = chunk[words + i] ^ stream[words + 4 * i]
    return bytes(out)


def read_store(path, password=None):
    """Returns {key: bytes} of the items; raises ValueError on anything out of place."""
    with open(path, 'rb') as f:
        raw = f.read()
    if raw[:4] != b'QDB\0':
        raise ValueError('signature')
    at = 4
    stream = None
    if raw[4:8] == b'QPW\0':
        if password is None:
            raise ValueError('a password-protected store')
        if read_store.stream is None:
            read_store.stream = keystream(password)
        key, stream = read_store.stream
        if hashlib.sha1(key).digest() != raw[8:28]:
            raise ValueError('password check value')
        at = 28
    elif password is not None:
        raise ValueError('no password')
    (d,) = struct.unpack_from('<i', raw, at)
    at += 4
    if d < 0 or at + d + 8 > len(raw):
        raise ValueError('data section length %d' % d)
    data = raw[at:at + d]
    at += d
    if raw[at:at + 4] != b'QIX\0':
        raise ValueError('index mark')
    (x,) = struct.unpack_from('<i', raw, at + 4)
    at += 8
    if x < 4 or at + x > len(raw):
        raise ValueError('index section length %d' % x)
    index = raw[at:at + x]
    if stream:
        data, index = unscramble(data, stream), unscramble(index, stream)
    read_store.trailing = len(raw) - (at + x)  # bytes a cut-short commit left behind
    (n,) = struct.unpack_from('<i', index, 0)
    pos, items, spans = 4, {}, []
    for _ in range(n):
        end = index.index(b'\0', pos)
        key = index[pos:end].decode('latin-1')
        p, size, flags = struct.unpack_from('<iiI', index, end + 1)
        pos = end + 13
        if p < 0 or size < 0 or p + size > d:
            raise ValueError('entry %r outside the data section' % key)
        if size:
            spans.append((p, size))
        if not flags & 1:
            if flags & 2:
                raise ValueError('compressed item in this test')
            items[key] = data[p:p + size]
    spans.sort()
    for (a, sa), (b, _) in zip(spans, spans[1:]):
        if a + sa > b:
            raise ValueError('entries share bytes at %d' % b)
    return items


read_store.stream = None


def message(i, rng):
    m = EmailMessage()
    m['From'] = 'Sender %d <sender%d@example.org>' % (i, i)
    m['To'] = 'someone@example.com'
    m['Subject'] = 'Message number %d' % i
    m.set_content('\n'.join('line %d of message %d: %s' % (k, i, 'x' * rng.randrange(20, 70))
                            for k in range(rng.randrange(50, 400))))
    return bytes(m)


def main():
    cli = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    driver = sys.argv[3] if len(sys.argv) > 3 else None
    password = 'kill -9' if driver else None
    rng = random.Random(19)
    with tempfile.TemporaryDirectory() as d:
        store = os.path.join(d, 'Archive.TMA')
        if driver:
            put = lambda key: [driver, 'put', store, password, key]
            dump_command = [driver, 'dump', store, password]
        else:
            put = lambda key: [cli, 'qdb', 'put', store, key]
            dump_command = [cli, 'qdb', 'dump', store]
        committed = {}
        for i in range(150):  # an archive of some size, so that most commits append
            key, body = '%015d' % i, message(i, rng)
            subprocess.run(put(key), input=body, check=True)
            committed[key] = body
        killed = trailing = 0
        for r in range(rounds):
            key, body = '%015d' % (1000 + r), message(1000 + r, rng)
            p = subprocess.Popen(put(key), stdin=subprocess.PIPE)
            p.stdin.write(body)
            p.stdin.close()
            time.sleep(rng.uniform(0, 0.03))
            p.send_signal(signal.SIGKILL)
            if p.wait() == 0:
                committed[key] = body
            else:
                killed += 1
            dump = subprocess.run(dump_command, capture_output=True)
            if dump.returncode != 0:
                sys.exit('round %d: qdb dump refused the file: %s' % (r, dump.stderr.decode()))
            items = read_store(store, password)
            trailing += read_store.trailing > 0
            for k, v in committed.items():
                if items.get(k) != v:
                    sys.exit('round %d: committed item %s is missing or changed' % (r, k))
            if key in items and items[key] != body:
                sys.exit('round %d: the interrupted item %s is there with other bytes' % (r, key))
            committed.update({key: body} if key in items else {})
        print('qdb kill%s: %d rounds, %d puts killed (%d between the two steps), %d items, ok'
              % (' (password)' if driver else '', rounds, killed, trailing, len(committed)))


if __name__ == '__main__':
    main()
