"""Pages for the dashboard's load benchmark, in a process of their own: N readers of one event
stream for S seconds; prints how many messages each received, one count per line."""
import http.client
import socket
import sys
import threading


def read(port, seconds, counts, index):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=seconds + 10)
    connection.request("GET", "/events?symbol=NIFTY")
    sock = connection.sock
    response = connection.getresponse()
    timer = threading.Timer(seconds, sock.shutdown, args=(socket.SHUT_RDWR,))
    timer.start()
    try:
        for line in response:
            if line.startswith(b"data: "):
                counts[index] += 1
    except (OSError, http.client.HTTPException):
        pass
    finally:
        timer.cancel()


def main():
    port, pages, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    counts = [0] * pages
    readers = [threading.Thread(target=read, args=(port, seconds, counts, index))
               for index in range(pages)]
    for reader in readers:
        reader.start()
    for reader in readers:
        reader.join()
    print("\n".join(map(str, counts)))


if __name__ == "__main__":
    main()
