package ardivex.bench;

import ardivex.matching.Enrollment;
import ardivex.matching.FingerprintBase;
import java.io.ByteArrayOutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;

/**
 * The size on disk of a base kept in a file after many enrolls, each its own
 * commit (as an application enrolling people one at a time makes them), or
 * in batches of enrollAll. Templates of 40 to 60 placed minutiae (218 to 298
 * bytes; the engine's templates of real prints are larger, about 400).
 *
 * <pre>
 * java -Djava.library.path=build/linux/bin \
 *      -cp build/linux/java/dactylink.jar:build/linux/java/bench-classes:/usr/share/java/h2.jar \
 *      ardivex.bench.BaseSizeBench [COUNT [BATCH]]
 * </pre>
 *
 * COUNT templates (default 20,000) in batches of BATCH (default 1: single
 * enrolls); prints the file's size per template every tenth of the way, when
 * the last enroll returned (with the most per template seen from the first
 * tenth on) and once the base is closed.
 */
public final class BaseSizeBench {
    private BaseSizeBench() {
    }

    static byte[] template(Random r) {
        int n = 40 + r.nextInt(21);
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        b.writeBytes(new byte[24]);
        b.write(n);
        b.write(4);
        for (int k = 0; k < n; k++) {
            int w = (40 + r.nextInt(300)) << 21 | (40 + r.nextInt(300)) << 10 | (1 + r.nextInt(2)) << 8 | r.nextInt(256);
            for (int i = 0; i < 4; i++) {
                b.write(w >>> (8 * i));
            }
        }
        b.writeBytes(new byte[9]);
        return b.toByteArray();
    }

    public static void main(String[] args) throws Exception {
        int count = args.length > 0 ? Integer.parseInt(args[0]) : 20_000;
        int batch = args.length > 1 ? Integer.parseInt(args[1]) : 1;
        Path folder = Files.createTempDirectory("base-size");
        Path file = folder.resolve("bench.mv.db");
        Random r = new Random(1);
        long start = System.nanoTime();
        long largest = 0;
        try (FingerprintBase base = FingerprintBase.open(folder.resolve("bench"))) {
            List<Enrollment> pending = new ArrayList<>();
            for (int k = 0; k < count; k++) {
                pending.add(new Enrollment("person " + k, k % 11, template(r)));
                if (pending.size() == batch || k == count - 1) {
                    base.enrollAll(pending);
                    pending.clear();
                }
                long size = Files.size(file);
                if (k + 1 >= count / 10) {
                    largest = Math.max(largest, size / (k + 1));
                }
                if ((k + 1) % Math.max(1, count / 10) == 0) {
                    System.out.printf("%7d templates: %7.1f MB, %5d bytes per template, %.1f s%n", k + 1, size / 1e6,
                            size / (k + 1), (System.nanoTime() - start) / 1e9);
                }
            }
            long size = Files.size(file);
            System.out.printf("after the last enroll: %.1f MB, %d bytes per template (most on the way, from the "
                    + "first tenth on: %d)%n", size / 1e6, size / count, largest);
        }
        long closed = Files.size(file);
        System.out.printf("closed: %.1f MB, %d bytes per template; %d enrolls in batches of %d took %.1f s%n",
                closed / 1e6, closed / count, count, batch, (System.nanoTime() - start) / 1e9);
        for (Path p : new Path[] {file, folder.resolve("bench.commit")}) {
            Files.deleteIfExists(p);
        }
        Files.delete(folder);
    }
}
