"""Side-by-side timing: interleaved rounds, medians, ratios. Nothing here asserts a time."""
import random
import statistics
import timeit


def per_call_ns(stmt, env, number):
    return timeit.Timer(stmt, globals=env).timeit(number) / number * 1e9


def measure(cases, env, rounds=21, number=20000, seed=1):
    """cases: {label: statement}. Every round times each statement once, in a shuffled order, so
    drift in the machine's speed falls on all of them alike. Returns {label: median ns per call}."""
    rng = random.Random(seed)
    samples = {label: [] for label in cases}
    labels = list(cases)
    for stmt in cases.values():          # warm up
        per_call_ns(stmt, env, max(1, number // 10))
    for _ in range(rounds):
        rng.shuffle(labels)
        for label in labels:
            samples[label].append(per_call_ns(cases[label], env, number))
    return {label: statistics.median(v) for label, v in samples.items()}


def table(title, rows, header=("case", "median ns", "ratio", "target")):
    print("\n" + title)
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    fmt = "  ".join("{:<%d}" % w for w in widths)
    print(fmt.format(*header))
    for r in rows:
        print(fmt.format(*r))
