package ardivex.templates;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.matching.MatchingException;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class NFRecordTest {

    static int word(int x, int y, int type, int angle) {
        return x << 21 | y << 10 | type << 8 | angle;
    }

    /** Builds template bytes: header, minutiae, length block, then the three counted blocks. */
    static final class Builder {
        private final ByteArrayOutputStream minutiae = new ByteArrayOutputStream();
        private int flags;
        private int minutiaCount;
        private final List<byte[]> blocks = new ArrayList<>();

        Builder flags(int f) {
            flags = f;
            return this;
        }

        Builder minutia(int w, int... extra) {
            put32(minutiae, w);
            for (int e : extra) {
                minutiae.write(e);
            }
            minutiaCount++;
            return this;
        }

        /** One counted block of records of the given size, each starting with a word. */
        Builder block(int size, int[]... records) {
            ByteArrayOutputStream b = new ByteArrayOutputStream();
            b.write(records.length);
            b.write(size);
            for (int[] r : records) {
                byte[] rec = new byte[size];
                int w = r[0];
                for (int i = 0; i < 4 && i < size; i++) {
                    rec[i] = (byte) (w >>> (8 * i));
                }
                for (int i = 1; i < r.length; i++) {
                    rec[3 + i] = (byte) r[i];
                }
                b.writeBytes(rec);
            }
            blocks.add(b.toByteArray());
            return this;
        }

        byte[] build() {
            ByteArrayOutputStream b = new ByteArrayOutputStream();
            b.writeBytes(new byte[22]);
            b.write(flags);
            b.write(0);
            b.write(minutiaCount);
            b.write(4 + Integer.bitCount(flags & 7));
            b.writeBytes(minutiae.toByteArray());
            b.write(0);
            b.write(2); // L = 2, little-endian
            b.write(0);
            b.write(0xEE);
            b.write(0xEE);
            for (byte[] k : blocks) {
                b.writeBytes(k);
            }
            return b.toByteArray();
        }

        private static void put32(ByteArrayOutputStream b, int v) {
            for (int i = 0; i < 4; i++) {
                b.write(v >>> (8 * i));
            }
        }
    }

    static byte[] sample() {
        return new Builder().flags(7)
                .minutia(word(100, 200, 1, 30), 10, 20, 30)
                .minutia(0xFFFFFFFF, 1, 2, 3)
                .block(6, new int[] {word(300, 400, 0, 77)})
                .block(7, new int[] {word(500, 600, 0, 0), 11, 22, 33})
                .block(4, new int[] {word(9, 10, 0, 0)}, new int[] {word(11, 12, 0, 0)})
                .build();
    }

    @Test
    void readsEveryKindIntoItsItems() throws Exception {
        NFRecord r = new NFRecord(sample());
        List<NFMinutia> m = r.getMinutiae();
        assertEquals(2, m.size());
        NFMinutia a = m.get(0);
        assertEquals(100, a.X);
        assertEquals(200, a.Y);
        assertEquals(NFMinutiaType.BIFURCATION, a.getType());
        assertEquals(30, a.Angle);
        assertEquals(10, a.Quality);
        assertEquals(20, a.Curvature);
        assertEquals(30, a.G);
        NFMinutia b = m.get(1);
        assertEquals(2047, b.X);
        assertEquals(2047, b.Y);
        assertEquals(3, b.getTypeCode());
        assertEquals(255, b.Angle);

        List<NFCore> c = r.getCores();
        assertEquals(1, c.size());
        assertEquals(300, c.get(0).X);
        assertEquals(400, c.get(0).Y);
        assertEquals(77, c.get(0).Angle);

        List<NFDelta> d = r.getDeltas();
        assertEquals(1, d.size());
        assertEquals(500, d.get(0).X);
        assertEquals(600, d.get(0).Y);
        assertEquals(11, d.get(0).Angle1);
        assertEquals(22, d.get(0).Angle2);
        assertEquals(33, d.get(0).Angle3);

        List<NFDoubleCore> dc = r.getDoubleCores();
        assertEquals(2, dc.size());
        assertEquals(11, dc.get(1).X);
        assertEquals(12, dc.get(1).Y);
    }

    @Test
    void absentOptionalBytesReadAs255() throws Exception {
        NFMinutia none = new NFRecord(new Builder().minutia(word(1, 2, 2, 3)).minutia(word(4, 5, 0, 6)).build())
                .getMinutiae().get(1);
        assertEquals(4, none.X);
        assertEquals(6, none.Angle);
        assertEquals(255, none.Quality);
        assertEquals(255, none.Curvature);
        assertEquals(255, none.G);

        NFMinutia curv = new NFRecord(new Builder().flags(2).minutia(word(1, 2, 2, 3), 44).build())
                .getMinutiae().get(0);
        assertEquals(255, curv.Quality);
        assertEquals(44, curv.Curvature);
        assertEquals(255, curv.G);
    }

    @Test
    void shortTemplatesAndOtherKindsHoldNothing() throws Exception {
        NFRecord empty = new NFRecord(new byte[26]);
        for (int kind = -1; kind <= 4; kind++) {
            assertEquals(0, empty.innerGetItemCount(kind));
        }
        assertTrue(empty.getMinutiae().isEmpty());
        assertTrue(empty.getDoubleCores().isEmpty());

        NFRecord r = new NFRecord(sample());
        assertEquals(0, r.innerGetItemCount(4));
        assertEquals(0, r.innerGetItemCount(-1));
        NFCore untouched = new NFCore();
        untouched.X = 42;
        r.innerFillItems(4, new Object[] {untouched});
        assertEquals(42, untouched.X);
        r.innerFillItems(0, null); // nothing to fill

        assertEquals(0, new NFRecord(null).innerGetItemCount(0));
        assertEquals(0, new NFRecord(new byte[25]).innerGetItemCount(0));
        byte[] claimsMore = new byte[30];
        claimsMore[24] = 100; // 100 minutiae in 4 bytes
        assertEquals(0, new NFRecord(claimsMore).innerGetItemCount(0));
    }

    /** A core-like item without "Angle". */
    public static class PositionOnly {
        public int X;
        public int Y;
    }

    /** A minutia-like item without setType. */
    public static class Untyped {
        public int X;
        public int Y;
        public int Angle;
        public int Quality;
        public int Curvature;
        public int G;
    }

    @Test
    void itemsLackingAFieldFailWithTheFieldInTheMessage() throws Exception {
        NFRecord r = new NFRecord(sample());
        PositionOnly p = new PositionOnly();
        Exception e = assertThrows(Exception.class, () -> r.innerFillItems(NFRecord.KIND_CORES, new Object[] {p}));
        assertSame(Exception.class, e.getClass());
        assertEquals("Field 'Angle' of type 'I' not found", e.getMessage());
        assertEquals(300, p.X); // set before the missing one

        e = assertThrows(Exception.class, () -> r.innerFillItems(NFRecord.KIND_DELTAS, new Object[] {"text"}));
        assertEquals("Field 'X' of type 'I' not found", e.getMessage());

        // No setType: reported by the JVM and skipped, the other fields are still set.
        Untyped u = new Untyped();
        r.innerFillItems(NFRecord.KIND_MINUTIAE, new Object[] {u, new Untyped()});
        assertEquals(100, u.X);
        assertEquals(30, u.G);
    }

    /** A minutia-like item whose setType throws what it is given. */
    public static class Throwing extends Untyped {
        final Throwable thrown;

        Throwing(Throwable thrown) {
            this.thrown = thrown;
        }

        public void setType(int type) throws Throwable {
            throw thrown;
        }
    }

    @Test
    void anExceptionFromItemCodeBecomesTheCauseAndAnErrorPassesUnchanged() throws Exception {
        NFRecord r = new NFRecord(sample());
        IllegalStateException failure = new IllegalStateException("setType refused");
        Exception e = assertThrows(Exception.class,
                () -> r.innerFillItems(NFRecord.KIND_MINUTIAE, new Object[] {new Throwing(failure), new Untyped()}));
        assertSame(Exception.class, e.getClass());
        assertEquals("Method 'setType' of a minutia item failed", e.getMessage());
        assertSame(failure, e.getCause());

        for (Error error : new Error[] {new OutOfMemoryError("simulated"), new StackOverflowError()}) {
            Error thrown = assertThrows(Error.class,
                    () -> r.innerFillItems(NFRecord.KIND_MINUTIAE, new Object[] {new Throwing(error), new Untyped()}));
            assertSame(error, thrown);
        }
    }

    @Test
    void itemArraysMustHoldEveryItem() throws Exception {
        NFRecord r = new NFRecord(sample());
        NFDoubleCore first = new NFDoubleCore();
        Exception e = assertThrows(Exception.class,
                () -> r.innerFillItems(NFRecord.KIND_DOUBLE_CORES, new Object[] {first}));
        assertTrue(e.getMessage().contains("holds 1 elements"), e.getMessage());
        assertEquals(0, first.X); // nothing filled

        NFDoubleCore second = new NFDoubleCore();
        e = assertThrows(Exception.class,
                () -> r.innerFillItems(NFRecord.KIND_DOUBLE_CORES, new Object[] {second, null}));
        assertEquals("Item 1 of the items array is null", e.getMessage());
        assertEquals(0, second.X);

        // a longer array: the extra elements are left alone
        NFDoubleCore[] longer = {new NFDoubleCore(), new NFDoubleCore(), new NFDoubleCore()};
        longer[2].X = 7;
        r.innerFillItems(NFRecord.KIND_DOUBLE_CORES, longer);
        assertEquals(9, longer[0].X);
        assertEquals(7, longer[2].X);
    }

    @Test
    void manyItemsAndManyThreads() throws Exception {
        Builder b = new Builder().flags(1);
        for (int i = 0; i < 255; i++) {
            b.minutia(word(i, 2 * i, i & 3, i), i);
        }
        NFRecord big = new NFRecord(b.build());
        ExecutorService pool = Executors.newFixedThreadPool(6);
        try {
            List<Future<?>> results = new ArrayList<>();
            for (int t = 0; t < 6; t++) {
                results.add(pool.submit(() -> {
                    for (int n = 0; n < 200; n++) {
                        List<NFMinutia> m = big.getMinutiae();
                        assertEquals(255, m.size());
                        assertEquals(254, m.get(254).X);
                        assertEquals(508, m.get(254).Y);
                        assertEquals(254, m.get(254).Quality);
                        assertEquals(255, m.get(254).G);
                        assertEquals(2, new NFRecord(sample()).getDeltas().size() + 1);
                    }
                    return null;
                }));
            }
            for (Future<?> f : results) {
                f.get();
            }
        } finally {
            pool.shutdownNow();
        }
    }
    @Test
    void aTemplateFileReadsBackAsWritten(@TempDir Path dir) throws Exception {
        Path file = dir.resolve("sample.nfr");
        new NFRecord(sample()).write(file);
        assertArrayEquals(sample(), Files.readAllBytes(file));
        NFRecord back = NFRecord.read(file);
        assertArrayEquals(sample(), back.getData());
        assertEquals(2, back.getMinutiae().size());
        assertEquals(NFMinutiaType.BIFURCATION, back.getMinutiae().get(0).getType());
        assertEquals(2, back.getDoubleCores().size());
        // Written again over the first: replaced.
        byte[] other = new Builder().minutia(word(1, 2, 0, 3)).block(4).block(7).block(4).build();
        new NFRecord(other).write(file);
        assertArrayEquals(other, NFRecord.read(file).getData());
    }

    @Test
    void filesThatAreNotTemplatesAreRefusedNamingTheFileAndTheFault(@TempDir Path dir) throws Exception {
        byte[] t = sample();
        Map<String, byte[]> files = new LinkedHashMap<>();
        files.put("empty.nfr", new byte[0]);
        files.put("notes.txt", "not a template at all, just words".getBytes(StandardCharsets.US_ASCII));
        files.put("cut.nfr", Arrays.copyOf(t, t.length - 1));
        files.put("png.nfr", new byte[] {(byte) 0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
            0, 0, 1, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0});
        for (Map.Entry<String, byte[]> f : files.entrySet()) {
            Path file = dir.resolve(f.getKey());
            Files.write(file, f.getValue());
            IOException e = assertThrows(IOException.class, () -> NFRecord.read(file), f.getKey());
            assertTrue(e.getMessage().startsWith(file + ": Not a valid NFRecord template: "), e.getMessage());
            assertTrue(e.getCause() instanceof MatchingException, f.getKey());
        }
        // Larger than any template: refused before it is checked, also when its size is not known first.
        Path big = dir.resolve("big.nfr");
        try (RandomAccessFile r = new RandomAccessFile(big.toFile(), "rw")) {
            r.write(t);
            r.setLength(NFRecord.MAX_FILE_BYTES + 1);
        }
        IOException e = assertThrows(IOException.class, () -> NFRecord.read(big));
        assertEquals(big + " is larger than " + NFRecord.MAX_FILE_BYTES + " bytes: not a template", e.getMessage());
        if (Files.isReadable(Paths.get("/dev/zero"))) {
            e = assertThrows(IOException.class, () -> NFRecord.read(Paths.get("/dev/zero")));
            assertTrue(e.getMessage().contains("is larger than"), e.getMessage());
        }
        e = assertThrows(IOException.class, () -> NFRecord.read(dir));
        assertEquals(dir + " is a folder, not a template file", e.getMessage());
        assertThrows(NoSuchFileException.class, () -> NFRecord.read(dir.resolve("missing.nfr")));
    }

    @Test
    void bytesThatAreNotATemplateAreNotWritten(@TempDir Path dir) {
        Path file = dir.resolve("t.nfr");
        byte[] t = sample();
        for (NFRecord bad : new NFRecord[] {new NFRecord(), new NFRecord(null), new NFRecord(Arrays.copyOf(t, 30))}) {
            IllegalStateException e = assertThrows(IllegalStateException.class, () -> bad.write(file));
            assertTrue(e.getMessage().startsWith("Not a valid NFRecord template: ")
                    || e.getMessage().startsWith("The template is null"), e.getMessage());
            assertTrue(e.getMessage().endsWith("; " + file + " was not written"), e.getMessage());
            assertFalse(Files.exists(file));
        }
    }
}
