package ardivex.matching;

import java.io.IOException;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.UserPrincipal;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Stream;

/**
 * A PostgreSQL 15 server of its own for a test class: a new cluster in a
 * temporary folder, on a free loopback port, no Unix socket, trusting local
 * connections. initdb refuses to run as root: then the server runs as the
 * unprivileged user "postgres" that Debian's package makes, owning the
 * folder. A watchdog stops the server and removes the folder when the test
 * JVM is gone, however it ended.
 */
final class PostgresServer implements AutoCloseable {
    static final Path BIN = Path.of("/usr/lib/postgresql/15/bin");
    private static final AtomicInteger DATABASES = new AtomicInteger();

    private final Path root;
    private final Path data;
    private final Process server;
    private final Process watchdog;
    final int port;

    private PostgresServer(Path root, Path data, Process server, Process watchdog, int port) {
        this.root = root;
        this.data = data;
        this.server = server;
        this.watchdog = watchdog;
        this.port = port;
    }

    private static boolean root() throws IOException {
        return ((Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid")) == 0;
    }

    // The command, as the user "postgres" when this JVM runs as root.
    private static List<String> asServerUser(boolean asRoot, String... command) {
        List<String> out = new ArrayList<>();
        if (asRoot) {
            out.addAll(List.of("runuser", "-u", "postgres", "--"));
        }
        out.addAll(List.of(command));
        return out;
    }

    static PostgresServer start() throws Exception {
        if (!Files.isExecutable(BIN.resolve("postgres"))) {
            throw new IllegalStateException(BIN + "/postgres is missing: install Debian's postgresql (scripts/setup.sh)");
        }
        boolean asRoot = root();
        Path root = Files.createTempDirectory("dactylink-pg");
        Path data = root.resolve("data");
        Process watchdog = null;
        try {
            if (asRoot) {
                UserPrincipal postgres = root.getFileSystem().getUserPrincipalLookupService()
                        .lookupPrincipalByName("postgres");
                Files.setOwner(root, postgres);
            }
            long self = ProcessHandle.current().pid();
            // Started first, so that it cleans up after a JVM killed at any point from here on.
            watchdog = new ProcessBuilder("sh", "-c", "while kill -0 " + self + " 2>/dev/null; do sleep 1; done; "
                    + "pid=$(head -n 1 '" + data + "/postmaster.pid' 2>/dev/null) && kill -QUIT \"$pid\"; "
                    + "sleep 1; rm -rf '" + root + "'")
                    .redirectErrorStream(true).redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            run(asServerUser(asRoot, BIN.resolve("initdb").toString(), "-D", data.toString(), "-A", "trust", "-U",
                    "postgres", "-E", "UTF8", "--locale=C", "--no-sync"), root.resolve("initdb.log"));
            for (int attempt = 0;; attempt++) {
                int port;
                try (ServerSocket s = new ServerSocket(0)) {
                    port = s.getLocalPort();
                }
                Path log = root.resolve("server.log");
                Process server = new ProcessBuilder(asServerUser(asRoot, BIN.resolve("postgres").toString(), "-D",
                        data.toString(), "-p", Integer.toString(port), "-c", "listen_addresses=127.0.0.1", "-c",
                        "unix_socket_directories=", "-c", "max_connections=40"))
                        .redirectErrorStream(true).redirectOutput(log.toFile()).start();
                if (awaitReady(server, port)) {
                    return new PostgresServer(root, data, server, watchdog, port);
                }
                server.destroyForcibly().waitFor(30, TimeUnit.SECONDS);
                if (attempt == 2) {
                    throw new IllegalStateException("PostgreSQL did not start: "
                            + Files.readString(log, StandardCharsets.UTF_8));
                }
            }
        } catch (Exception | Error e) {
            if (watchdog != null) {
                watchdog.destroy();
            }
            deleteTree(root);
            throw e;
        }
    }

    private static void run(List<String> command, Path log) throws Exception {
        Process p = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(log.toFile()).start();
        if (!p.waitFor(120, TimeUnit.SECONDS) || p.exitValue() != 0) {
            p.destroyForcibly();
            throw new IllegalStateException(String.join(" ", command) + " failed: "
                    + Files.readString(log, StandardCharsets.UTF_8));
        }
    }

    private static boolean awaitReady(Process server, int port) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (System.nanoTime() < deadline && server.isAlive()) {
            try (Connection c = DriverManager.getConnection(url(port, "postgres"), properties())) {
                return true;
            } catch (SQLException notYet) {
                Thread.sleep(100);
            }
        }
        return false;
    }

    private static String url(int port, String database) {
        return "jdbc:postgresql://127.0.0.1:" + port + "/" + database;
    }

    static Properties properties() {
        Properties p = new Properties();
        p.setProperty("user", "postgres");
        return p;
    }

    /** A new, empty database on the server; its URL. */
    String newDatabase() throws SQLException {
        String name = "base" + DATABASES.incrementAndGet();
        try (Connection c = DriverManager.getConnection(url(port, "postgres"), properties());
                Statement s = c.createStatement()) {
            s.execute("CREATE DATABASE " + name);
        }
        return url(port, name);
    }

    @Override
    public void close() throws Exception {
        try {
            if (server.isAlive()) {
                // SIGINT: PostgreSQL's fast shutdown (rolls back, disconnects, stops).
                String pid = Files.readAllLines(data.resolve("postmaster.pid")).get(0).trim();
                new ProcessBuilder("kill", "-INT", pid).start().waitFor(30, TimeUnit.SECONDS);
                if (!server.waitFor(60, TimeUnit.SECONDS)) {
                    new ProcessBuilder("kill", "-KILL", pid).start().waitFor(30, TimeUnit.SECONDS);
                    server.destroyForcibly().waitFor(30, TimeUnit.SECONDS);
                }
            }
        } finally {
            watchdog.destroy();
            deleteTree(root);
        }
    }

    private static void deleteTree(Path root) throws IOException {
        if (!Files.exists(root)) {
            return;
        }
        try (Stream<Path> s = Files.walk(root)) {
            for (Path p : (Iterable<Path>) s.sorted(Comparator.reverseOrder())::iterator) {
                Files.deleteIfExists(p);
            }
        }
    }
}
