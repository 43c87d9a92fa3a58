package ardivex.matching;

import java.nio.file.Path;
import java.sql.SQLException;
import java.util.concurrent.atomic.AtomicInteger;
import org.h2.tools.Server;

/**
 * H2 in server mode for a test class: org.h2.tools.Server in this JVM on a
 * loopback port, its databases in a folder of the test. It can be stopped and
 * started again on the same port, as a server that went away and came back.
 */
final class H2TcpServer implements AutoCloseable {
    private static final AtomicInteger DATABASES = new AtomicInteger();

    final Path folder;
    private Server server;
    private int port;

    H2TcpServer(Path folder) throws SQLException {
        this.folder = folder;
        server = Server.createTcpServer("-tcpPort", "0", "-baseDir", folder.toString(), "-ifNotExists").start();
        port = server.getPort();
    }

    /** The URL of a database of this server, by its name. */
    String url(String name) {
        return "jdbc:h2:tcp://127.0.0.1:" + port + "/" + name;
    }

    /** A new, empty database on the server; its URL. */
    String newDatabase() {
        return url("base" + DATABASES.incrementAndGet());
    }

    /** Stops the server: its clients' connections break. */
    void stop() {
        server.stop();
    }

    /** Starts it again on the same port. */
    void restart() throws SQLException {
        server = Server.createTcpServer("-tcpPort", Integer.toString(port), "-baseDir", folder.toString(),
                "-ifNotExists").start();
    }

    @Override
    public void close() {
        server.stop();
    }
}
