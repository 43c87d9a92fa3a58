package ardivex.jnitest;

/** Natives of the test library dl_jnihelpers, one per JNI helper use. */
final class Natives {
    static {
        System.loadLibrary("dl_jnihelpers");
    }

    private Natives() {
    }

    static native void defField(Object target, String field, Object value, String className) throws Exception;

    static native Object getField(Object target, String field, String className) throws Exception;

    static native int getInt(Object target, String field) throws Exception;

    static native void setInt(Object target, String field, int value) throws Exception;

    static native long getLong(Object target, String field) throws Exception;

    static native Object newWithInts(Class<?> c, int a, int b) throws Exception;

    static native Object newWithDouble(Class<?> c, double d) throws Exception;

    static native void callAllKinds(Object target, Object ref, String text8, String text16) throws Exception;

    static native void callVoid(Object target, String method) throws Exception;

    static native void accessorCallVoid(Object target, String method, int value) throws Exception;

    static native String callString(Object target, String method, String arg) throws Exception;

    static native int ordinal(Object value) throws Exception;

    static native Object enumValue(Class<?> c, String name) throws Exception;

    static native byte[] bytes(int n) throws Exception;

    static native byte[] utf8Of(String s) throws Exception;

    static native String fromUtf8(byte[] b) throws Exception;

    static native String fromUtf16(String s) throws Exception;

    static native String fromNullString() throws Exception;

    static native void fail(String message) throws Exception;

    static native int convertBeforeUnsupported() throws Exception;

    static native void unsupportedArgument(Object target) throws Exception;

    static native int version() throws Exception;
}
