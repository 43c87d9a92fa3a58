package ardivex.bench;

import ardivex.matching.Candidate;
import ardivex.matching.Enrollment;
import ardivex.matching.FingerprintBase;
import ardivex.matching.Shard;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;

/**
 * A base of many templates in a server database: how long enrolling them in
 * batches (enrollAll, one transaction each) takes, and how long opening the
 * base takes, which reads every template into the gallery. Templates of 40
 * to 60 placed minutiae (see {@link BaseSizeBench}); ids and codes are the
 * database's and "person N".
 *
 * <pre>
 * java -Djava.library.path=build/linux/bin \
 *      -cp build/linux/java/dactylink.jar:build/linux/java/bench-classes:/usr/share/java/postgresql.jar \
 *      ardivex.bench.ServerBaseBench URL USER [COUNT [BATCH [SEARCHES]]]
 * </pre>
 *
 * Enrolls templates until the base holds COUNT (default 1,000,000) in
 * batches of BATCH (default 10,000), closes it, opens it again with a
 * progress listener (printing every tenth of the way), waits until the
 * filter's keys are made (in the background after the opening), and times
 * SEARCHES identifications (default 1) of an enrolled template. Lines "figure NAME
 * VALUE" repeat the figures for scripts/bench.sh. scripts/bench.sh --long
 * runs it on a PostgreSQL server of its own.
 */
public final class ServerBaseBench {
    private ServerBaseBench() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 2) {
            System.err.println("usage: ServerBaseBench URL USER [COUNT [BATCH [SEARCHES]]]");
            System.exit(2);
        }
        String url = args[0];
        String user = args[1];
        int count = args.length > 2 ? Integer.parseInt(args[2]) : 1_000_000;
        int batch = args.length > 3 ? Integer.parseInt(args[3]) : 10_000;
        int searches = args.length > 4 ? Integer.parseInt(args[4]) : 1;
        Random r = new Random(1);
        byte[] probe = null;
        try (FingerprintBase base = FingerprintBase.open(url, user, null)) {
            int held = base.count();
            int missing = Math.max(0, count - held);
            long start = System.nanoTime();
            List<Enrollment> pending = new ArrayList<>(batch);
            for (int k = 0; k < missing; k++) {
                byte[] t = BaseSizeBench.template(r);
                if (k == missing / 2) {
                    probe = t;
                }
                pending.add(new Enrollment("person " + (held + k), k % 11, t));
                if (pending.size() == batch || k == missing - 1) {
                    base.enrollAll(pending);
                    pending.clear();
                }
                if ((k + 1) % Math.max(1, missing / 10) == 0) {
                    System.out.printf("enrolled %,9d of %,d: %.1f s%n", k + 1, missing, seconds(start));
                }
            }
            if (missing > 0) {
                double s = seconds(start);
                System.out.printf("%,d enrolled in batches of %,d: %.1f s, %,.0f per second%n", missing, batch, s,
                        missing / s);
                System.out.printf("figure enroll_per_second %.0f%n", missing / s);
            }
        }
        long[] first = {-1};
        long start = System.nanoTime();
        try (FingerprintBase base = FingerprintBase.open(url, user, null, Shard.WHOLE, (read, total) -> {
            if (first[0] < 0) {
                first[0] = System.nanoTime();
            }
            if (read == total || read % Math.max(1, total / 10) == 0) {
                System.out.printf("  opening: %,9d of %,d read, %.1f s%n", read, total, seconds(start));
            }
        })) {
            double open = seconds(start);
            int n = base.count();
            System.out.printf("opened with %,d templates in %.1f s (%,.0f per second; first progress after %.2f s)%n", n,
                    open, n / open, (first[0] - start) / 1e9);
            System.out.printf("figure open_seconds %.2f%n", open);
            if (probe == null) {
                probe = BaseSizeBench.template(new Random(1));
            }
            // The filter's keys are made in the background after the opening;
            // until then the templates without one are compared in full.
            long indexing = System.nanoTime();
            System.out.printf("opened with %,d filter keys still to make%n", base.indexPending());
            if (!base.awaitIndexed(java.time.Duration.ofMinutes(10))) {
                System.out.printf("filter keys still pending after 10 minutes: %,d%n", base.indexPending());
            } else {
                double keys = seconds(indexing);
                System.out.printf("every filter key made %.1f s after the opening%n", keys);
                System.out.printf("figure index_seconds %.2f%n", keys);
            }
            for (int k = 0; k < searches; k++) {
                long t = System.nanoTime();
                List<Candidate> found = base.identify(probe, 1);
                System.out.printf("identification among %,d: %.2f s, %s%n", n, seconds(t),
                        found.isEmpty() ? "no candidate" : "best score " + found.get(0).score());
            }
        }
    }

    private static double seconds(long since) {
        return (System.nanoTime() - since) / 1e9;
    }
}
