/**
 * Fingerprint readers and capture.
 *
 * <p>{@link ardivex.scanners.ScannerMan} lists the readers that the reader
 * plug-ins find (each one's identifier is its serial number, for example
 * {@code Tavoro\00AB1000}); {@link ardivex.scanners.Scanner} captures from
 * one of them and hands every image to its listeners, on a thread of the
 * library, as a {@link ardivex.scanners.Scanner.ScanEvent}. A reader delivers
 * images only while a finger rests on it; images that arrive while a
 * listener is busy are merged into the newest.
 * <pre>{@code
 * Scanner reader = ScannerMan.getScanner(0);
 * reader.addScanListener((scanner, event) ->
 *         System.out.println(event.image.width + " x " + event.image.height));
 * reader.startCapturing();
 * Thread.sleep(5000);
 * ScannerMan.uninitialize(); // stops every capture and releases the readers
 * }</pre>
 *
 * <p>Without hardware, {@code java -jar dactylink-cli-<version>.jar simulate}
 * serves simulated Tavoro readers that these classes find like real ones.
 */
package ardivex.scanners;
