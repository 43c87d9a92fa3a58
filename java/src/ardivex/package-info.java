/**
 * The native library and the version of the dactylink classes.
 *
 * <p>{@link ardivex.NativeLibrary} loads the native library "dactylink" the
 * first time any class of the toolkit needs it: one installed on
 * {@code java.library.path}, or else the copy inside the jar, taken out into
 * a per-user cache folder together with the reader plug-in and the
 * extraction engine. Applications need not call it, but may, to fail early
 * with a clear message:
 * <pre>{@code
 * NativeLibrary.load();
 * System.out.println("dactylink " + Version.get() + " from " + NativeLibrary.getLocation());
 * }</pre>
 *
 * <p>On Java 22 and later the JVM warns about native code loaded without
 * native access granted: start the application with
 * {@code --enable-native-access=ALL-UNNAMED}, or put
 * {@code Enable-Native-Access: ALL-UNNAMED} in its executable jar's manifest.
 */
package ardivex;
