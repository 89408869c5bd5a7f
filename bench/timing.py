"""Side-by-side timing: both contenders run interleaved in one process, several rounds. A bound
is judged on the ratio of each round: met when the median round meets it; within the machine's
noise when the median misses and some round meets it (reported with its spread, not failed);
failed when every round misses. SHORT lists what fell short, for the one line at the end."""
import io
import statistics
import timeit
from contextlib import redirect_stdout

SHORT = []  # (name, what it measured, whether it failed rather than fell within the noise)


def short(name, shown, failed=True):
    """Notes a bound that fell short, for the closing line."""
    SHORT.append((name.strip(), shown, failed))


def judged(name, ratios, meets, shown):
    """The verdict over the rounds' ratios; notes a shortfall. True unless every round missed."""
    median = statistics.median(ratios)
    if meets(median):
        return "ok", True
    if any(meets(ratio) for ratio in ratios):
        short(name, shown, failed=False)
        return "WITHIN NOISE", True
    short(name, shown)
    return "OVER LIMIT", False


def spread(ratios):
    return f"[{min(ratios):.2f}-{max(ratios):.2f}]"


def best_time(function, number, rounds=7):
    return min(timeit.repeat(function, number=number, repeat=rounds)) / number


def compare(name, extension, plain, number, limit):
    """Times both callables alternately and prints the ratio extension / plain Python."""
    sink = io.StringIO()
    with redirect_stdout(sink):
        extension(), plain()  # warm up
        ext_times, plain_times = [], []
        for _ in range(5):
            ext_times.append(best_time(extension, number, rounds=3))
            plain_times.append(best_time(plain, number, rounds=3))
    ext, ref = min(ext_times), min(plain_times)
    ratios = [e / p for e, p in zip(ext_times, plain_times)]
    ratio = statistics.median(ratios)
    verdict, ok = judged(name, ratios, lambda r: r <= limit, f"{ratio:.2f} (limit {limit:.2f})")
    print(f"{name:55s} extension {ext * 1e6:9.2f} us  plain {ref * 1e6:9.2f} us  "
          f"ratio {ratio:5.2f} {spread(ratios)} (limit {limit:.2f}) {verdict}")
    return ok


def speedup(name, fast, slow, fast_items, slow_items, minimum, rounds=5):
    """Times both callables alternately; prints how many times faster `fast` is per item (each
    call of `fast` handles fast_items items, each call of `slow` slow_items)."""
    sink = io.StringIO()
    with redirect_stdout(sink):
        fast(), slow()  # warm up
        fast_times, slow_times = [], []
        for _ in range(rounds):
            fast_times.append(best_time(fast, 1, rounds=3) / fast_items)
            slow_times.append(best_time(slow, 1, rounds=3) / slow_items)
    ours, theirs = min(fast_times), min(slow_times)
    ratios = [t / o for o, t in zip(fast_times, slow_times)]
    ratio = statistics.median(ratios)
    verdict, ok = judged(name, ratios, lambda r: r >= minimum, f"{ratio:.1f}x (target {minimum:g}x)")
    print(f"{name:55s} ours {ours * 1e6:11.4f} us  theirs {theirs * 1e6:11.4f} us  "
          f"{ratio:9.1f}x [{min(ratios):.1f}-{max(ratios):.1f}] (target {minimum:g}x) {verdict}")
    return ok
