package ardivex.cli;

import ardivex.scanners.Scanner;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/** Captures a number of images from one reader, each handed over as it arrives. */
public final class Capturer {
    /** Receives the captured images, on the thread that called {@link #capture}. */
    @FunctionalInterface
    public interface Sink {
        /**
         * @param number 1 for the first image
         * @param width pixels per row
         * @param height number of rows
         * @param pixels {@code width * height} grey values, a copy of the library's
         * @throws Exception ends the capture; it is rethrown by {@link #capture}
         */
        void image(int number, int width, int height, byte[] pixels) throws Exception;
    }

    /** Observes the waiting; called about four times a second while an image is awaited. */
    @FunctionalInterface
    public interface Waiting {
        /** @param seconds how long the current image has been awaited */
        void waiting(long seconds);
    }

    private static final class Image {
        final int width;
        final int height;
        final byte[] pixels;

        Image(int width, int height, byte[] pixels) {
            this.width = width;
            this.height = height;
            this.pixels = pixels;
        }
    }

    private Capturer() {
    }

    /**
     * Starts capturing, waits for up to {@code count} images (at most
     * {@code timeoutSeconds} for each) and stops capturing again, however it
     * ends.
     *
     * @param scanner the reader
     * @param count how many images
     * @param timeoutSeconds how long to wait for each
     * @param waiting told while an image is awaited (may be null)
     * @param sink receives each image
     * @return how many images arrived (fewer than asked when one took too long)
     * @throws Exception what the sink threw, or the scanner's failure to start or stop
     */
    public static int capture(Scanner scanner, int count, int timeoutSeconds, Waiting waiting, Sink sink)
            throws Exception {
        // Bounded: images that arrive while the sink is busy wait here; more are dropped.
        BlockingQueue<Image> queue = new LinkedBlockingQueue<>(Math.max(2, count));
        Scanner.ScanListener listener = (s, event) -> {
            if (event.kind == Scanner.ScanEventKind.ImageScanned && event.image != null
                    && event.image.buffer != null) {
                queue.offer(new Image(event.image.width, event.image.height, event.image.buffer.clone()));
            }
        };
        int received = 0;
        scanner.addScanListener(listener);
        try {
            scanner.startCapturing();
            long tick = TimeUnit.MILLISECONDS.toNanos(250);
            while (received < count) {
                long start = System.nanoTime();
                long end = start + TimeUnit.SECONDS.toNanos(timeoutSeconds);
                Image image = null;
                while (image == null) {
                    long now = System.nanoTime();
                    if (now - end >= 0) {
                        break;
                    }
                    if (waiting != null) {
                        waiting.waiting(TimeUnit.NANOSECONDS.toSeconds(now - start));
                    }
                    image = queue.poll(Math.min(tick, end - now), TimeUnit.NANOSECONDS);
                }
                if (image == null) {
                    break;
                }
                received++;
                sink.image(received, image.width, image.height, image.pixels);
            }
        } finally {
            scanner.removeScanListener(listener);
            scanner.stopCapturing();
        }
        return received;
    }
}
