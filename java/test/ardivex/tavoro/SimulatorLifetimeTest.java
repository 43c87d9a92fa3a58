package ardivex.tavoro;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * The simulator started by a program that ends without stopping it (a test
 * killed by its harness's time-out) must not stay behind on the pipes, where
 * it would make every later run fail with "cannot create the pipes".
 */
class SimulatorLifetimeTest {
    @Test
    void endsWhenItsInputClosesAndFreesThePipes() throws Exception {
        String simulator = System.getenv("DACTYLINK_TAVORO_SIM");
        assertTrue(simulator != null && System.getenv("DACTYLINK_PIPE_DIR") != null,
                "no Tavoro simulator configured for this run");
        Path log = Files.createTempFile("tavoro-sim-lifetime", ".log");
        try {
            for (int round = 0; round < 2; round++) {
                Process p = new ProcessBuilder(simulator, "--until-stdin-closes").redirectErrorStream(true)
                        .redirectOutput(log.toFile()).start();
                long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
                while (!Files.readString(log).contains("serving 1 sensor")) {
                    assertTrue(p.isAlive(), "the simulator ended at start: " + Files.readString(log));
                    assertTrue(System.nanoTime() < end, "the simulator's pipes never appeared");
                    Thread.sleep(20);
                }
                // What the end of the starting process does to the pipe.
                p.getOutputStream().close();
                assertTrue(p.waitFor(10, TimeUnit.SECONDS), "the simulator outlived its input");
                assertEquals(0, p.exitValue(), Files.readString(log));
                assertTrue(Files.readString(log).contains("standard input closed"), Files.readString(log));
                // The second round starts on the pipes the first one left.
            }
        } finally {
            Files.deleteIfExists(log);
        }
    }
}
