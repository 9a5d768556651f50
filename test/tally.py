"""What the host-side test scripts share: a tally of their checks, and a
free port on 127.0.0.1 for a server of their own."""
import socket

problems = []
_counted = 0


def expect(what, condition):
    """Counts one check, and remembers what it says when it fails."""
    global _counted
    _counted += 1
    if not condition:
        problems.append(what)


def passed():
    return _counted - len(problems)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
