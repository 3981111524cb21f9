import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.time.LocalTime;
import java.util.concurrent.atomic.AtomicLong;

/**
 * A small HTTP server to run as a service: answers every request on the loopback
 * port given as its first argument with a greeting, and logs each request to
 * standard output. Pelorim starts it with main, polls startup() until the
 * port listens, and calls shutdown() on a stop.
 */
public class HelloServer {
    private static volatile HttpServer server;
    private static final AtomicLong requests = new AtomicLong();

    public static void main(String[] args) throws IOException {
        int port = args.length > 0 ? Integer.parseInt(args[0]) : 8080;
        server = HttpServer.create(new InetSocketAddress("127.0.0.1", port), 0);
        server.createContext("/", exchange -> {
            long n = requests.incrementAndGet();
            byte[] body = ("Hello from a Java service! Request " + n + " at " + LocalTime.now().withNano(0) + "\n")
                    .getBytes(StandardCharsets.UTF_8);
            System.out.println("request " + n + ": " + exchange.getRequestMethod() + " " + exchange.getRequestURI());
            System.out.flush();
            exchange.sendResponseHeaders(200, body.length);
            try (OutputStream out = exchange.getResponseBody()) {
                out.write(body);
            }
        });
        server.start();
        System.out.println("HelloServer listening on http://127.0.0.1:" + port + "/");
        System.out.flush();
    }

    /** Startup method: true while the server is still starting. */
    public static boolean startup() {
        return server == null;
    }

    /** Shutdown method: stops the server; main's thread has returned, so the JVM then ends. */
    public static void shutdown() {
        System.out.println("HelloServer shutting down after " + requests.get() + " requests");
        System.out.flush();
        HttpServer s = server;
        if (s != null) s.stop(0);
    }
}
