package ardivex.jnitest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;

import org.junit.jupiter.api.Test;

class JniHelpersTest {

    /** Portuguese text and characters outside the Basic Multilingual Plane. */
    static final String TEXT = "Não há leitores: ação, índice ç \uD83D\uDE00 \uD834\uDD1E fim";
    static final String WITH_NUL = "a\u0000b";

    public static class Inner {
        public int value;

        public Inner() {
        }

        public Inner(int a, int b) {
            value = a * 1000 + b;
        }
    }

    public static class Holder {
        public byte[] data;
        public String text;
        public Inner inner;
        public Object anything;
        public int count;
        public long handle;
        public int typed = -1;
        public String seen;

        public void setCount(int c) {
            count = c;
        }

        public void bump() {
            count++;
        }

        public void allKinds(int i, boolean z, double d, long j, Object l, char c, String s8, String s16) {
            seen = i + "|" + z + "|" + d + "|" + j + "|" + (l == this) + "|" + c + "|" + s8 + "|" + s16;
        }

        public void takesInt(int i) {
            count = i;
        }

        public String echo(String s) {
            return "<" + s + ">";
        }
    }

    enum Colour {
        RED, GREEN, BLUE
    }

    private static Exception plainFailure(Executable e) {
        Exception ex = assertThrows(Exception.class, e::run);
        assertSame(Exception.class, ex.getClass(), "a plain java.lang.Exception");
        return ex;
    }

    interface Executable {
        void run() throws Exception;
    }

    @Test
    void objectFieldsTakeTheirSignatureFromTheClassName() throws Exception {
        Holder h = new Holder();
        byte[] b = {1, 2, 3};
        Natives.defField(h, "data", b, ""); // guessed: [B
        assertSame(b, h.data);
        Inner in = new Inner();
        Natives.defField(h, "inner", in, ""); // guessed: Lardivex/jnitest/JniHelpersTest$Inner;
        assertSame(in, h.inner);
        Natives.defField(h, "text", "x", "java/lang/String");
        assertEquals("x", h.text);
        Natives.defField(h, "anything", in, "java/lang/Object");
        assertSame(in, h.anything);

        assertSame(b, Natives.getField(h, "data", "[B"));
        assertEquals("x", Natives.getField(h, "text", "java/lang/String"));
        Exception e = plainFailure(() -> Natives.getField(h, "data", "java/lang/String"));
        assertEquals("Field 'data' of type 'Ljava/lang/String;' not found", e.getMessage());

        // the guessed class must be the declared one exactly
        e = plainFailure(() -> Natives.defField(h, "anything", "text", ""));
        assertEquals("Field 'anything' of type 'Ljava/lang/String;' not found", e.getMessage());
        e = plainFailure(() -> Natives.defField(h, "data", null, ""));
        assertEquals("Impossible to guess object class", e.getMessage());
        Natives.defField(h, "data", null, "[B"); // with a class name, null is fine
        assertNull(h.data);
    }

    @Test
    void intAndLongFields() throws Exception {
        Holder h = new Holder();
        Natives.setInt(h, "count", 42);
        assertEquals(42, Natives.getInt(h, "count"));
        h.handle = 1L << 40;
        assertEquals(1L << 40, Natives.getLong(h, "handle"));

        Exception e = plainFailure(() -> Natives.getInt(h, "width"));
        assertEquals("Field 'width' of type 'I' not found", e.getMessage());
        e = plainFailure(() -> Natives.setInt(h, "handle", 1));
        assertEquals("Field 'handle' of type 'I' not found", e.getMessage());
        e = plainFailure(() -> Natives.getLong(h, "count"));
        assertEquals("Field 'count' of type 'J' not found", e.getMessage());
    }

    @Test
    void constructorsAndMethods() throws Exception {
        Object o = Natives.newWithInts(Inner.class, 12, 34);
        assertEquals(12034, ((Inner) o).value); // arguments in order
        Exception e = plainFailure(() -> Natives.newWithDouble(Inner.class, 1.0));
        assertTrue(e.getMessage().contains("(D)V"), e.getMessage());

        Holder h = new Holder();
        Natives.callVoid(h, "bump");
        assertEquals(1, h.count);
        Natives.callVoid(h, "noSuchMethod"); // reported by the JVM, not thrown
        Natives.accessorCallVoid(h, "setCount", 77);
        assertEquals(77, h.count);
        Natives.accessorCallVoid(h, "bump", 1); // wrong signature: also not thrown
        assertEquals(77, h.count);

        assertEquals("<" + TEXT + ">", Natives.callString(h, "echo", TEXT));
        e = plainFailure(() -> Natives.callString(h, "noEcho", "a"));
        assertTrue(e.getMessage().contains("noEcho"), e.getMessage());
    }

    @Test
    void everyArgumentKindCrosses() throws Exception {
        Holder h = new Holder();
        Natives.callAllKinds(h, h, TEXT, TEXT);
        assertEquals("-7|true|2.5|1099511627776|true|ç|" + TEXT + "|" + TEXT, h.seen);

        Exception e = plainFailure(() -> Natives.unsupportedArgument(h));
        assertEquals("Unsupported variant argument", e.getMessage());
        assertEquals(0, h.count);
        assertEquals(41, Natives.convertBeforeUnsupported());
    }

    @Test
    void enumerations() throws Exception {
        assertEquals(2, Natives.ordinal(Colour.BLUE));
        assertSame(Colour.GREEN, Natives.enumValue(Colour.class, "GREEN"));
        assertNull(Natives.enumValue(Colour.class, "PURPLE"));
        Exception e = plainFailure(() -> Natives.ordinal(new Holder()));
        assertTrue(e.getMessage().contains("ordinal"), e.getMessage());
    }

    @Test
    void byteArrays() throws Exception {
        assertArrayEquals(new byte[] {0, 3, 6, 9}, Natives.bytes(4));
        assertEquals(0, Natives.bytes(0).length);
    }

    @Test
    void textsCrossAsModifiedUtf8() throws Exception {
        // inside the library texts are plain UTF-8
        assertArrayEquals(TEXT.getBytes(StandardCharsets.UTF_8), Natives.utf8Of(TEXT));
        assertEquals(TEXT, Natives.fromUtf8(TEXT.getBytes(StandardCharsets.UTF_8)));
        assertEquals(TEXT, Natives.fromUtf16(TEXT));
        assertEquals("[]", Natives.fromNullString());
        assertEquals("", Natives.fromUtf16(""));
        // NUL crosses as C0 80 both ways; a UTF-16 text ends at its first NUL
        assertArrayEquals(new byte[] {'a', 0, 'b'}, Natives.utf8Of(WITH_NUL));
        assertEquals(WITH_NUL, Natives.fromUtf8(new byte[] {'a', 0, 'b'}));
        assertEquals("<" + WITH_NUL + ">", Natives.callString(new Holder(), "echo", WITH_NUL));
        assertEquals("a", Natives.fromUtf16(WITH_NUL));

        Exception e = plainFailure(() -> Natives.fail("Leitor não encontrado \uD83D\uDE00"));
        assertEquals("Leitor não encontrado \uD83D\uDE00", e.getMessage());
        Holder h = new Holder();
        e = plainFailure(() -> Natives.getInt(h, "ação\uD83D\uDE00"));
        assertEquals("Field 'ação\uD83D\uDE00' of type 'I' not found", e.getMessage());
    }

    @Test
    void versionIsSplitIntoItsHalves() throws Exception {
        int v = Natives.version();
        assertTrue(v >= 0x00010006, Integer.toHexString(v));
    }
}
