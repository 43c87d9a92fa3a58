package ardivex.fingers;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.images.NImage;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.LocalDate;
import java.time.format.DateTimeFormatter;
import java.util.Comparator;
import java.util.stream.Stream;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The image log, switched by the registry value "SI". On this platform the
 * registry is the folder tree named by DACTYLINK_REGISTRY (set by the build).
 */
class NFExtractorImageLogTest {
    private Path log;
    private Path switchFile;

    @BeforeEach
    void setUp() throws IOException {
        assertTrue(FakeEngine.besideFake(), "needs the fake engine beside the library");
        String registry = System.getenv("DACTYLINK_REGISTRY");
        assertTrue(registry != null && !registry.isEmpty(), "needs DACTYLINK_REGISTRY");
        switchFile = Path.of(registry, "HKEY_CURRENT_USER", "Software", "Ardivex BR", "dactylink", "SI");
        log = FakeEngine.libraryFolder().toPath().resolve("imglog");
        deleteTree(log);
        Files.deleteIfExists(switchFile);
    }

    @AfterEach
    void tearDown() throws IOException {
        if (switchFile != null) {
            Files.deleteIfExists(switchFile);
        }
        if (log != null) {
            deleteTree(log);
        }
    }

    private static void deleteTree(Path p) throws IOException {
        if (!Files.exists(p)) {
            return;
        }
        try (Stream<Path> s = Files.walk(p)) {
            s.sorted(Comparator.reverseOrder()).map(Path::toFile).forEach(File::delete);
        }
    }

    private void setSwitch(String content) throws IOException {
        Files.createDirectories(switchFile.getParent());
        Files.write(switchFile, content.getBytes(StandardCharsets.UTF_8));
    }

    private static void extractOnce() throws Exception {
        new NFExtractor().extract(new NImage(5, 3, FakeEngine.ramp(5, 3, 9)));
    }

    @Test
    void switchOffOrNotAnIntegerOneMakesNoLog() throws Exception {
        extractOnce();
        assertFalse(Files.exists(log), "no key: no log");
        setSwitch("dword:0");
        extractOnce();
        setSwitch("sz:1");
        extractOnce();
        setSwitch("dword:2");
        extractOnce();
        assertFalse(Files.exists(log));
    }

    @Test
    void switchOnKeepsTodayAndYesterdayOnly() throws Exception {
        String today = LocalDate.now().format(DateTimeFormatter.BASIC_ISO_DATE);
        String yesterday = LocalDate.now().minusDays(1).format(DateTimeFormatter.BASIC_ISO_DATE);
        Files.createDirectories(log.resolve("20000101"));
        Files.write(log.resolve("20000101").resolve("101010.bmp"), new byte[] {1});
        Files.createDirectories(log.resolve("other"));
        Files.write(log.resolve("other").resolve("x.txt"), new byte[] {1});
        Files.createDirectories(log.resolve(yesterday));
        Files.write(log.resolve(yesterday).resolve("235959.bmp"), new byte[] {1});
        Files.write(log.resolve("readme.txt"), new byte[] {1});

        setSwitch("dword:1\n");
        extractOnce();

        assertFalse(Files.exists(log.resolve("20000101")));
        assertFalse(Files.exists(log.resolve("other")));
        assertTrue(Files.exists(log.resolve(yesterday).resolve("235959.bmp")));
        assertTrue(Files.exists(log.resolve("readme.txt")));
        Path day = log.resolve(today);
        if (!Files.isDirectory(day)) {  // the day may have turned during the call
            day = log.resolve(LocalDate.now().format(DateTimeFormatter.BASIC_ISO_DATE));
        }
        try (Stream<Path> files = Files.list(day)) {
            Path[] all = files.toArray(Path[]::new);
            assertEquals(1, all.length);
            assertTrue(all[0].getFileName().toString().matches("\\d{6}\\.bmp"), all[0].toString());
            assertEquals(1078 + 8 * 3, Files.size(all[0]));
        }
    }
}
