"""An asyncio service that asks the desktop user for the USB key's PIN.

    python3 asyncio-service.py [COUNT]

It asks COUNT times at once (default 1), as a service's clients might: the
library shows one PIN prompt at a time, and each waiting call waits on its
own descriptor in the event loop, holding no thread of the loop's executor,
so the loop, its executor and its name lookups stay free meanwhile. SIGTERM
cancels every pending call and stops the service. The longest gap of a
10 ms heartbeat is printed at the end.
"""

import asyncio
import signal
import sys
import time

import zefkit


async def ask(number: int) -> None:
    try:
        pin = await zefkit.ask_pin_async(message="Request %d asks for your USB key's PIN" % number)
        print("request %d: %s" % (number, "no PIN" if pin is None else "PIN of %d characters" % len(pin)))
    except asyncio.CancelledError:
        print("request %d: cancelled" % number)
    except zefkit.Error as e:
        print("request %d: %s (%s)" % (number, e, type(e).__name__))


async def main(count: int) -> None:
    loop = asyncio.get_running_loop()
    requests = [asyncio.create_task(ask(n)) for n in range(count)]
    loop.add_signal_handler(signal.SIGTERM, lambda: [task.cancel() for task in requests])
    longest, last = 0.0, time.monotonic()

    async def heartbeat() -> None:
        nonlocal longest, last
        while True:
            await asyncio.sleep(0.01)
            now = time.monotonic()
            longest, last = max(longest, now - last), now

    beating = asyncio.create_task(heartbeat())
    # The executor is free while the calls wait: a name lookup answers.
    await loop.getaddrinfo("localhost", None)
    await asyncio.gather(*requests)
    beating.cancel()
    print("longest heartbeat gap: %d ms" % (longest * 1000), flush=True)


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 1))
