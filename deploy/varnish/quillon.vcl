# The cache tier between the TLS edge (edge.conf) and the origin nginx (deploy/nginx/quillon.conf
# on a plain loopback listener). A template: @ORIGIN_HOST@ and @ORIGIN_PORT@ name the origin.
# Run it as:  varnishd -F -j none -n WORKDIR -a 127.0.0.1:PORT -f quillon.vcl -s malloc,256m
# (-j none: started as root, the default jail wants a "varnish" user).
#
# One site: the hash is the URL alone, so a PURGE sent straight to this port matches what
# launchers asked for through the edge under any Host.
vcl 4.1;

backend origin {
    .host = "@ORIGIN_HOST@";
    .port = "@ORIGIN_PORT@";
}

# Only the publisher on this machine purges. Requests relayed by the edge come from loopback too;
# they carry the X-Quillon-Edge header the edge sets (over anything a client sent), and are
# refused. (X-Forwarded-For would not do: Varnish adds it to every request.)
acl purgers {
    "127.0.0.1";
    "::1";
}

sub vcl_recv {
    if (req.method == "PURGE") {
        if (client.ip !~ purgers || req.http.X-Quillon-Edge) {
            return (synth(403, "Forbidden"));
        }
        return (purge);
    }
    unset req.http.Cookie;
    unset req.http.X-Quillon-Manifest;
    # The manifest is a POST whose body the origin ignores, so every POST has the same answer:
    # look it up like a GET. The mark tells the fetch to ask the origin with POST again (its
    # only method there). Any other method for it goes to the origin, which refuses it.
    if (req.url == "/updater/updater.php") {
        if (req.method != "POST") {
            return (pass);
        }
        set req.http.X-Quillon-Manifest = "1";
        return (hash);
    }
    if (req.method != "GET" && req.method != "HEAD") {
        return (pass);
    }
    return (hash);
}

sub vcl_hash {
    hash_data(req.url);
    return (lookup);
}

sub vcl_backend_fetch {
    # A lookup's fetch is a GET; the client's body (if any) is not the origin's business, and a
    # background renewal has none to send.
    if (bereq.http.X-Quillon-Manifest) {
        set bereq.method = "POST";
        unset bereq.body;
        set bereq.http.Content-Length = "0";
    }
}

sub vcl_backend_response {
    # Whole files are fetched once and ranges answered from the copy while it arrives.
    set beresp.do_stream = true;
    if (beresp.status >= 500) {
        set beresp.ttl = 0s;
        set beresp.uncacheable = true;
        return (deliver);
    }
    if (bereq.url ~ "^/updater/(objects|chunks)/" && beresp.status == 200) {
        # Named by their digest: the origin's year-long max-age stands. (Not for a 404: the
        # name may be published a moment later.)
        return (deliver);
    }
    if (bereq.http.X-Quillon-Manifest) {
        # Every launcher starts with this request: a copy a few seconds old answers it, then a
        # conditional request to the origin (a 304 while unchanged) renews it. A publish purges it.
        set beresp.ttl = 2s;
        set beresp.grace = 2s;
        set beresp.keep = 1h;
        return (deliver);
    }
    # The rest is "no-cache" at the origin (signatures, release, status, news, files by path):
    # stale after a second, but kept, so a request after that is a conditional fetch, a 304
    # without a body while the origin's copy is unchanged. (Varnish's own rules would not keep
    # it at all; a zero TTL is never found again for renewal, and the second lets the launchers
    # asking at the same moment share one fetch.)
    set beresp.ttl = 1s;
    set beresp.grace = 0s;
    set beresp.keep = 1h;
    return (deliver);
}
