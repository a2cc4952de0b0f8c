#!/usr/bin/env python3
"""Writes `size` bytes of text of pseudo-random words to standard output.

A vocabulary of 50,000 words of 6 to 16 letters (some with Latin-1 letters),
ten words a line, in a 16 MiB block repeated: about 89 million words a GiB,
spread over the reducers by the hash. Usage: make_text.py <size-in-bytes>
"""
import random
import sys

size = int(sys.argv[1])
rng = random.Random(20240601)
letters = "abcdefghijklmnopqrstuvwxyz" * 3 + "áéíóúñüçàè"
vocabulary = ["".join(rng.choice(letters) for _ in range(rng.randint(6, 16)))
              for _ in range(50000)]
lines = []
block_size = 0
while block_size < 16 * 1024 * 1024:
    line = (" ".join(rng.choice(vocabulary) for _ in range(10)) + "\n").encode()
    lines.append(line)
    block_size += len(line)
block = b"".join(lines)
out = sys.stdout.buffer
written = 0
while written < size:
    piece = block[: min(len(block), size - written)]
    # Never cut a word or a character: end the last piece at a line end.
    if len(piece) < len(block):
        piece = piece[: piece.rfind(b"\n") + 1] or piece
        piece = piece.ljust(size - written, b"\n")
    out.write(piece)
    written += len(piece)
