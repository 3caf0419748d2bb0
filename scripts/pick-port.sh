#!/usr/bin/env bash
# Prints PREFERRED when nothing on 127.0.0.1 holds it, else a free port the system picks. A build
# that bakes the port in stays unchanged between runs while the preferred one is free.
set -euo pipefail
python3 - "$1" <<'PY'
import socket, sys
for port in [int(sys.argv[1]), 0]:
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
        print(s.getsockname()[1])
        break
    except OSError:
        pass
    finally:
        s.close()
PY
