package example;

import ardivex.fingers.NFExtractor;
import ardivex.images.NImage;
import ardivex.matching.Candidate;
import ardivex.matching.FingerprintBase;
import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import ardivex.templates.NFRecord;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * A first application: lists the readers, captures an image of a finger and
 * a second one of the next touch, saves the first, extracts both templates,
 * enrolls the first and identifies the second.
 */
public final class FirstSteps {
    public static void main(String[] args) throws Exception {
        // The readers attached now ("dactylink-cli simulate" serves some
        // without hardware).
        List<Scanner> readers = ScannerMan.getScanners();
        System.out.println(readers.size() + " reader(s)");
        for (Scanner s : readers) {
            System.out.println("  " + s.getID());
        }
        if (readers.isEmpty()) {
            return;
        }

        // Images arrive on a thread of the library, as long as the finger
        // rests on the reader; a queue hands them to this thread.
        Scanner reader = readers.get(0);
        BlockingQueue<Scanner.ScanImage> images = new LinkedBlockingQueue<>();
        reader.addScanListener((scanner, event) -> images.add(event.image));
        NImage first;
        NImage second;
        try {
            reader.startCapturing();
            System.out.println("Place a finger on " + reader.getID());
            first = next(images);
            System.out.println("Lift the finger and place it again");
            while (images.poll(500, TimeUnit.MILLISECONDS) != null) {
                // still the first touch: the next one begins after a pause
            }
            second = next(images);
        } finally {
            ScannerMan.uninitialize(); // stops capturing and releases every reader
        }

        first.write(Path.of("first.bmp"));
        System.out.println("Saved first.bmp, " + first.getWidth() + " x " + first.getHeight() + " pixels");

        NFExtractor extractor = new NFExtractor();
        NFRecord enrolled = extractor.extract(first);
        NFRecord probe = extractor.extract(second);
        System.out.println("Templates of " + enrolled.getMinutiae().size() + " and " + probe.getMinutiae().size()
                + " minutiae");

        // FingerprintBase keeps its templates in an H2 database: h2.jar
        // must be on the class path.
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            base.enroll("ana", 1, enrolled.getData());
            List<Candidate> found = base.identify(probe.getData(), 5);
            if (found.isEmpty()) {
                System.out.println("Identified: nobody");
            } else {
                Candidate best = found.get(0);
                System.out.println("Identified: " + best.code() + ", finger " + best.finger() + ", score "
                        + best.score());
            }
        }
    }

    private static NImage next(BlockingQueue<Scanner.ScanImage> images) throws Exception {
        Scanner.ScanImage image = images.poll(30, TimeUnit.SECONDS);
        if (image == null) {
            throw new IllegalStateException("No image within 30 s: is a finger on the reader?");
        }
        return new NImage(image.width, image.height, image.buffer);
    }
}
