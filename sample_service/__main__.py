"""python -m sample_service [--port 8000] [--delay SECONDS]: serve until interrupted."""

import argparse
import time

from .service import DEMO_TOKEN, SampleService


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--delay", type=float, default=0.0,
                        help="seconds each request waits before it is answered")
    args = parser.parse_args()
    with SampleService(port=args.port, verbose=True, delay=args.delay) as service:
        print(f"serving on {service.url}; token {DEMO_TOKEN!r}; Ctrl-C stops")
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
