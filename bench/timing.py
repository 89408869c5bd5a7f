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
