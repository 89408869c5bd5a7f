"""Pages for the dashboard's load benchmark, in a process of their own: N readers of one event
stream for S seconds; prints how many messages each received, one count per line."""
import pathlib
import sys
import threading

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "tests"))
from dashboards import read_events  # noqa: E402


class Count:
    """Counts the messages read_events hands it instead of keeping them."""

    def __init__(self):
        self.messages = 0

    def append(self, _):
        self.messages += 1


def main():
    port, pages, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    counts = [Count() for _ in range(pages)]
    readers = [threading.Thread(target=read_events, args=(port, "NIFTY", seconds, count))
               for count in counts]
    for reader in readers:
        reader.start()
    for reader in readers:
        reader.join()
    print("\n".join(str(count.messages) for count in counts))


if __name__ == "__main__":
    main()
