#!/usr/bin/env python3
"""A private PostgreSQL server for the tests: Debian's postgresql binaries,
a cluster made with initdb in a temporary folder, run by a user who is not
root (PostgreSQL refuses root: when the tests run as root, the server runs as
"nobody"), listening only on a Unix socket in that folder; stopped and removed
at the end.

    pg_cluster.py run -- COMMAND...   starts a server, runs COMMAND with
                                      FLINT_TEST_PG set to its connection
                                      string, stops it; COMMAND's exit status

As a module: `with PgCluster() as pg: pg.create_database("x")` gives a
connection string per database."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

SERVER_USER = "nobody"
SERVER_GROUP = "nogroup"
# Where Debian puts the server's programs (initdb and pg_ctl are not on PATH).
BIN_GLOB = "/usr/lib/postgresql/*/bin"


def server_bin():
    found = sorted(glob.glob(BIN_GLOB), key=lambda p: int(p.split("/")[-2]) if p.split("/")[-2].isdigit() else 0)
    for path in reversed(found):
        if os.path.exists(os.path.join(path, "initdb")):
            return path
    return None


def available():
    return server_bin() is not None


class PgCluster:
    def __init__(self):
        self.bin = server_bin()
        self.dir = None

    def _run(self, args, **kw):
        """Runs a server program as the server's user."""
        cmd = [os.path.join(self.bin, args[0])] + args[1:]
        if os.geteuid() == 0:
            cmd = ["setpriv", "--reuid", SERVER_USER, "--regid", SERVER_GROUP, "--clear-groups"] + cmd
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
        if done.returncode != 0:
            log = os.path.join(self.dir or "", "server.log")
            more = open(log, errors="replace").read() if self.dir and os.path.exists(log) else ""
            raise RuntimeError("%s failed:\n%s%s" % (" ".join(cmd), done.stdout.decode(errors="replace"), more))
        return done

    def start(self):
        if self.bin is None:
            raise RuntimeError("no PostgreSQL server programs in %s (Debian's postgresql)" % BIN_GLOB)
        # A short path: the socket's path must fit in 107 bytes.
        self.dir = tempfile.mkdtemp(prefix="flint-pg-", dir="/tmp")
        if os.geteuid() == 0:
            shutil.chown(self.dir, SERVER_USER, SERVER_GROUP)
        data = os.path.join(self.dir, "data")
        self._run(["initdb", "-D", data, "-U", "postgres", "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"])
        self._run(["pg_ctl", "-D", data, "-l", os.path.join(self.dir, "server.log"), "-w", "-t", "60",
                   "-o", "-k %s -c listen_addresses= -F -c max_connections=100" % self.dir, "start"])
        return self

    def url(self, database="postgres"):
        return "postgresql:///%s?host=%s&user=postgres" % (database, self.dir)

    def create_database(self, name):
        subprocess.run([os.path.join(self.bin, "createdb"), "-h", self.dir, "-U", "postgres", name], check=True,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return self.url(name)

    def psql(self, database, sql):
        """The rows of a query, tab-separated lines."""
        out = subprocess.run(["psql", "-X", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-d",
                              self.url(database), "-c", sql],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
        return [line.split("\t") for line in out.stdout.decode().splitlines() if line]

    def stop(self):
        if self.dir is None:
            return
        try:
            self._run(["pg_ctl", "-D", os.path.join(self.dir, "data"), "-m", "immediate", "-w", "stop"])
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv):
    if len(argv) < 3 or argv[1] != "run" or "--" not in argv:
        sys.stderr.write(__doc__)
        return 2
    command = argv[argv.index("--") + 1:]
    with PgCluster() as pg:
        env = dict(os.environ, FLINT_TEST_PG=pg.create_database("flint_unit"))
        return subprocess.run(command, env=env).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
