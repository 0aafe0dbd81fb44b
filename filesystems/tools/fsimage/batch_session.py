"""What the randomised fsimage workloads share: the bytes of a written piece,
running a checking tool, and one `fsimage IMAGE batch` session that answers
each command with its result code."""

import subprocess


def piece(seed, size):
    # Byte k of a piece depends on k from the piece's start.
    return bytes(((seed * 131 + k * 7 + (k >> 8)) & 0xFF) for k in range(size))


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, **kw)


class BatchSession:
    """One fsimage process reading commands, one per line, as they are made."""

    def __init__(self, fsimage, image, options=()):
        self.proc = subprocess.Popen([fsimage, *options, image, "batch"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)

    def ask(self, fields):
        """Sends one command; its result code, or None when fsimage stopped."""
        self.proc.stdin.write(("\t".join(fields) + "\n").encode())
        self.proc.stdin.flush()
        line = self.proc.stdout.readline().decode().strip()
        return int(line, 16) if line else None

    def kill(self):
        self.proc.kill()

    def stopped_because(self):
        """After ask gave None: what fsimage said as it stopped."""
        self.proc.kill()
        return self.proc.stderr.read().decode()

    def finish(self):
        """Ends the session; None when fsimage ended well, else its complaint."""
        self.proc.stdin.close()
        self.proc.wait()
        return None if self.proc.returncode == 0 else self.proc.stderr.read().decode()
