"""A throwaway PostgreSQL cluster for tests and benchmarks, from Debian's postgresql-15.

PostgreSQL refuses to run as root, and CI runs as root, so the cluster belongs to the `postgres`
system user (commands go through runuser when we are root). It lives in a fresh temporary folder,
listens on a free loopback port and on a socket in that folder, trusts local connections, and is
stopped and deleted afterwards.

How to use it:

  Python tests (PYTHONPATH holds server/tests/support when ctest runs them):

      from pg_cluster import PostgresCluster
      with PostgresCluster() as pg:
          run_server("--store", pg.url)          # postgresql://postgres@127.0.0.1:PORT/postgres
          pg.create_database("other")            # another empty database: pg.url_for("other")

  Anything else (C++ tests, shell scripts):

      url=$(python3 server/tests/support/pg_cluster.py start DIR)   # DIR must not exist yet
      ...  --store "$url" ...
      python3 server/tests/support/pg_cluster.py stop DIR           # stops and deletes DIR

  A replicated pair for failover tests: `standby = pg.start_standby()` clones the running cluster
  (pg_basebackup -R, streaming), starts it, and only then makes it the primary's synchronous
  standby (synchronous_commit=on: a commit returns once the standby has it). `pg.kill_postmaster()`
  is the machine dying (kill -9); `standby.promote()` makes the standby the writable primary.
  `multi_host_url([pg, standby])` is the libpq URL a server takes to follow whichever is writable.

  `durable=False` (the default, and `start --fast`) turns fsync off: a test that kills the
  tallyscope server leaves PostgreSQL running, so its commits stand; only a test of PostgreSQL's
  own crash safety would need it on (`--durable`).
"""
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PG_BIN = "/usr/lib/postgresql/15/bin"
PG_USER = "postgres"


def _as_pg(args, **kw):
    if os.geteuid() == 0:
        args = ["runuser", "-u", PG_USER, "--"] + args
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PostgresCluster:
    def __init__(self, directory=None, durable=False, settings=None):
        self._own_dir = directory is None
        self.directory = directory or tempfile.mkdtemp(prefix="tallyscope-pg-")
        self.durable = durable
        self.settings = dict(settings or {})
        self.port = None

    @property
    def url(self):
        return self.url_for("postgres")

    def url_for(self, database):
        return "postgresql://%s@127.0.0.1:%d/%s" % (PG_USER, self.port, database)

    @property
    def data(self):
        return os.path.join(self.directory, "data")

    def _make_directory(self):
        os.makedirs(self.directory, exist_ok=True)
        if os.geteuid() == 0:
            pw = pwd.getpwnam(PG_USER)
            os.chown(self.directory, pw.pw_uid, pw.pw_gid)
        os.chmod(self.directory, 0o700)

    def start(self):
        self._make_directory()
        _as_pg([PG_BIN + "/initdb", "-D", self.data, "-A", "trust", "-U", PG_USER, "-E", "UTF8", "--locale=C"])
        return self._run()

    def _run(self):
        data = self.data
        self.port = _free_port()
        options = ["-p %d" % self.port, "-k %s" % self.directory, "-c listen_addresses=127.0.0.1",
                   "-c max_connections=200"]
        if not self.durable:
            options += ["-c fsync=off", "-c full_page_writes=off"]
        options += ["-c %s=%s" % (k, v) for k, v in self.settings.items()]
        _as_pg([PG_BIN + "/pg_ctl", "-D", data, "-l", os.path.join(self.directory, "log"), "-w", "-t", "60",
                "-o", " ".join(options), "start"])
        with open(os.path.join(self.directory, "port"), "w") as f:
            f.write(str(self.port))
        return self

    def sql(self, query, database="postgres"):
        """Runs one statement through the cluster's socket; its rows, one line each, fields split by |."""
        out = _as_pg([PG_BIN + "/psql", "-h", self.directory, "-p", str(self.port), "-U", PG_USER, "-d", database,
                      "-At", "-v", "ON_ERROR_STOP=1", "-c", query])
        return out.stdout.decode("utf-8", "replace").splitlines()

    def start_standby(self, directory=None, timeout=120):
        """A streaming standby of this running cluster, synchronous once it has caught up."""
        standby = PostgresCluster(directory, durable=self.durable, settings=self.settings)
        try:
            standby._make_directory()
            _as_pg([PG_BIN + "/pg_basebackup", "-h", self.directory, "-p", str(self.port), "-U", PG_USER,
                    "-D", standby.data, "-R", "-X", "stream", "-c", "fast"])
            standby._run()
            # Named only now: with a synchronous standby named but not yet streaming, every commit
            # (the base backup's own included) would wait for it.
            self.sql("ALTER SYSTEM SET synchronous_standby_names = '*'")
            self.sql("ALTER SYSTEM SET synchronous_commit = on")
            self.sql("SELECT pg_reload_conf()")
            deadline = time.monotonic() + timeout
            while self.sql("SELECT count(*) FROM pg_stat_replication WHERE sync_state = 'sync'") != ["1"]:
                if time.monotonic() > deadline:
                    raise RuntimeError("the standby did not become synchronous")
                time.sleep(0.1)
        except BaseException:
            standby.stop()
            raise
        return standby

    def kill_postmaster(self):
        """kill -9 of the postmaster, as when the machine dies; its backends end on their own."""
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            os.kill(int(f.readline()), signal.SIGKILL)

    def promote(self):
        _as_pg([PG_BIN + "/pg_ctl", "-D", self.data, "-w", "-t", "60", "promote"])

    def create_database(self, name):
        _as_pg([PG_BIN + "/psql", "-h", self.directory, "-p", str(self.port),
                "-U", PG_USER, "-d", "postgres", "-q", "-c", 'CREATE DATABASE "%s"' % name])
        return self.url_for(name)

    def stop(self):
        data = os.path.join(self.directory, "data")
        if os.path.isdir(data):
            try:
                _as_pg([PG_BIN + "/pg_ctl", "-D", data, "-m", "immediate", "-w", "stop"])
            except subprocess.CalledProcessError:
                pass
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()


def multi_host_url(clusters, database="postgres", **params):
    """postgresql://postgres@h1:p1,h2:p2/db?target_session_attrs=read-write: libpq tries the hosts in
    turn and keeps the first that takes writes."""
    params.setdefault("target_session_attrs", "read-write")
    hosts = ",".join("127.0.0.1:%d" % c.port for c in clusters)
    query = "&".join("%s=%s" % kv for kv in sorted(params.items()))
    return "postgresql://%s@%s/%s?%s" % (PG_USER, hosts, database, query)


def main(argv):
    if len(argv) < 3 or argv[1] not in ("start", "stop"):
        sys.stderr.write("usage: pg_cluster.py start DIR [--durable] | stop DIR\n")
        return 2
    directory = os.path.abspath(argv[2])
    if argv[1] == "start":
        if os.path.exists(directory):
            sys.stderr.write("pg_cluster.py: %s exists already\n" % directory)
            return 2
        settings = {}
        for arg in argv[3:]:
            if arg.startswith("--set="):
                key, _, value = arg[len("--set="):].partition("=")
                settings[key] = value
        cluster = PostgresCluster(directory, durable="--durable" in argv[3:], settings=settings)
        try:
            cluster.start()
        except subprocess.CalledProcessError as e:
            sys.stderr.write(e.stdout.decode(errors="replace"))
            cluster.stop()
            return 1
        print(cluster.url)
        return 0
    cluster = PostgresCluster(directory)
    cluster.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
