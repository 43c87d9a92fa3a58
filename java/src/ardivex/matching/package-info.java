/**
 * Comparing fingerprints: verification and identification.
 *
 * <p>{@link ardivex.matching.NFMatcher} scores two templates; a score at or
 * above {@link ardivex.matching.NFMatcher#threshold(double)} for the false
 * match rate an application accepts means the same finger.
 * {@link ardivex.matching.FingerprintBase} keeps enrolled templates under a
 * code and a finger, in a database (by default H2, which the application
 * adds to its class path itself), and identifies a probe among them.
 * <pre>{@code
 * NFMatcher matcher = new NFMatcher();
 * boolean same = matcher.verify(a, b) >= NFMatcher.threshold(1e-3);
 *
 * try (FingerprintBase base = FingerprintBase.open(Path.of("people"))) {
 *     base.enroll("ana", 1, a.getData());
 *     for (Candidate c : base.identify(b.getData(), 5)) {
 *         System.out.println(c.code() + " " + c.score());
 *     }
 * }
 * }</pre>
 */
package ardivex.matching;
