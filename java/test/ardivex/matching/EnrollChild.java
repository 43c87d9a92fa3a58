package ardivex.matching;

import java.nio.file.Path;

/**
 * Run in a child JVM: enrolls templates into the base file given without end,
 * printing "enrolled ID" as soon as each enroll returns, until it is killed.
 */
public final class EnrollChild {
    private EnrollChild() {
    }

    public static void main(String[] args) throws Exception {
        try (FingerprintBase base = FingerprintBase.open(Path.of(args[0]))) {
            System.out.println("open " + base.count());
            System.out.flush();
            for (long seed = 1000;; seed++) {
                long id = base.enroll("child-" + seed, (int) (seed % 11), Templates.record(seed));
                System.out.println("enrolled " + id + " " + seed);
                System.out.flush();
            }
        }
    }
}
