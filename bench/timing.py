"""Side-by-side timing: both contenders run interleaved in one process, best of several rounds."""
import io
import timeit
from contextlib import redirect_stdout


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
    ratio = ext / ref
    verdict = "ok" if ratio <= limit else "OVER LIMIT"
    print(f"{name:55s} extension {ext * 1e6:9.2f} us  plain {ref * 1e6:9.2f} us  "
          f"ratio {ratio:5.2f} (limit {limit:.2f}) {verdict}")
    return ratio <= limit


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
    ratio = theirs / ours
    verdict = "ok" if ratio >= minimum else "BELOW TARGET"
    print(f"{name:55s} ours {ours * 1e6:11.4f} us  theirs {theirs * 1e6:11.4f} us  "
          f"{ratio:9.1f}x (target {minimum:g}x) {verdict}")
    return ratio >= minimum
