package ardivex.matching;

import java.util.concurrent.ArrayBlockingQueue;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Takes batches on a thread of its own while the thread that puts them goes
 * on: a base's opening reads rows from the database while the batches read
 * before are prepared and added to the gallery. At most two batches wait.
 * {@link #close()} returns only once the thread has ended, so that nothing
 * the batches reach (the gallery) is released under it.
 */
final class BaseLoader<T> implements AutoCloseable {
    /** What the thread does with each batch, in the order they were put. */
    interface Sink<T> {
        void take(T batch) throws MatchingException;
    }

    private static final Object END = new Object();

    private final BlockingQueue<Object> queue = new ArrayBlockingQueue<>(2);
    private final Thread thread;
    private volatile Throwable failure;
    private volatile boolean stopping;

    BaseLoader(String name, Sink<T> sink) {
        thread = new Thread(() -> run(sink), name);
        thread.setDaemon(true);
        thread.start();
    }

    @SuppressWarnings("unchecked")
    private void run(Sink<T> sink) {
        try {
            for (;;) {
                Object next = queue.take();
                if (next == END || stopping) {
                    return;
                }
                sink.take((T) next);
            }
        } catch (InterruptedException e) {
            // stopped by close()
        } catch (MatchingException | RuntimeException | Error e) {
            failure = e;
        }
    }

    /** Hands a batch to the thread; waits while two wait already. */
    void put(T batch) throws MatchingException {
        offer(batch);
    }

    /** Waits until every batch put has been taken. */
    void finish() throws MatchingException {
        offer(END);
        try {
            thread.join();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new MatchingException("Interrupted while reading the fingerprint base", e);
        }
        rethrow();
    }

    private void offer(Object item) throws MatchingException {
        try {
            while (!queue.offer(item, 100, TimeUnit.MILLISECONDS)) {
                rethrow();
                if (!thread.isAlive()) {
                    throw new MatchingException("The fingerprint base's reading thread has ended");
                }
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new MatchingException("Interrupted while reading the fingerprint base", e);
        }
        rethrow();
    }

    private void rethrow() throws MatchingException {
        Throwable t = failure;
        if (t instanceof MatchingException) {
            throw (MatchingException) t;
        } else if (t instanceof RuntimeException) {
            throw (RuntimeException) t;
        } else if (t instanceof Error) {
            throw (Error) t;
        }
    }

    /** Stops the thread after the batch it is taking, if it still runs, and waits for it. */
    @Override
    public void close() {
        stopping = true;
        queue.clear();
        queue.offer(END);
        boolean interrupted = false;
        while (thread.isAlive()) {
            try {
                thread.join();
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }
}
