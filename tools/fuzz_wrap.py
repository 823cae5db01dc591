"""Differential fuzzing of the summary wrapper against textwrap.wrap.

    python tools/fuzz_wrap.py --seconds N [--seed S]

Wraps random texts built from wrapper-sensitive fragments through
Summary.add_message at wrap widths 1-200 and compares the rows with those the
standard wrapper gives: half the time with the interpreter's textwrap as it is,
a quarter each with textwrap made to treat a long word met on a full line in
either of the ways its versions have (the module imported anew for each).
Prints "wrap (<textwrap>): <cases> cases, <divergences> divergences" per
textwrap and exits non-zero on any divergence, after showing the first few.
"""
import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from support import WRAP_FRAGMENTS, fresh_summary, long_word_handler, wrap_rows  # noqa: E402

BATCH = 64  # texts per add_message call; a mismatching batch is rechecked text by text


def random_text(rng):
    shape = rng.random()
    if shape < 0.05:  # long words and runs, for the long-word breaking
        piece = rng.choice(WRAP_FRAGMENTS)
        return rng.choice(WRAP_FRAGMENTS).join(piece * rng.randint(1, 60) for _ in range(rng.randint(1, 4)))
    count = rng.randint(0, 12 if shape < 0.5 else 60)
    return "".join(rng.choices(WRAP_FRAGMENTS, k=count))


def random_width(rng):
    return rng.randint(1, 12) if rng.random() < 0.5 else rng.randint(1, 200)


def native_rows(summary, texts, wrap_width):
    box = summary.Summary("t", wrap_width + 4)
    del box.summary_msgs[:]
    box.add_message(texts)
    return [m.msg for m in box.summary_msgs]


def campaign(label, summary, seconds, rng, seed):
    cases = 0
    diverging = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        width = random_width(rng)
        texts = [random_text(rng) for _ in range(BATCH)]
        cases += BATCH
        if native_rows(summary, texts, width) == wrap_rows(texts, width):
            continue
        diverging += [(t, width) for t in texts if native_rows(summary, [t], width) != wrap_rows([t], width)]
    print(f"wrap ({label}): {cases} cases, {len(diverging)} divergences")
    for text, width in diverging[:5]:
        print(f"  seed {seed}: width {width}, text {text!r}")
        print(f"    native:   {native_rows(summary, [text], width)!r}")
        print(f"    textwrap: {wrap_rows([text], width)!r}")
    return not diverging


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rng = random.Random(seed)
    variants = [("own textwrap", {}, 0.5),
                ("empty cut", {"_handle_long_word": long_word_handler(empty_cut=True)}, 0.25),
                ("no cut", {"_handle_long_word": long_word_handler(empty_cut=False)}, 0.25)]
    ok = True
    for label, attributes, share in variants:
        with fresh_summary(**attributes) as summary:
            ok = campaign(label, summary, args.seconds * share, rng, seed) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
