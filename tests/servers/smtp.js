// SMTP servers for the notification tests, one per port, all on 127.0.0.1.
// Every accepted message is stored raw as MAILDIR/<seq>.eml with a sidecar
// <seq>.json telling which port, EHLO name, user, mechanism and envelope delivered it.
//
//   node smtp.js CONFIG.json
//
// CONFIG: { mailDir, readyFile, key, cert, user, password,
//           untrustedKey, untrustedCert,
//           ports: { plain, starttls, tls, loginOnly, noAuth, foreignAuth, untrusted } }
'use strict';

const fs = require('fs');
const path = require('path');
const { SMTPServer } = require('smtp-server');

const config = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const key = fs.readFileSync(config.key);
const cert = fs.readFileSync(config.cert);
let seq = 0;

// Recipients with this local part are refused, to exercise a server's refusal.
const REFUSED_LOCAL_PART = 'refused';

function store(session, raw) {
    seq += 1;
    const stem = path.join(config.mailDir, `${Date.now()}-${process.pid}-${seq}`);
    const meta = {
        port: session.localPort,
        secure: session.secure,
        ehlo: session.hostNameAppearsAs || null,
        user: session.user || null,
        mechanism: session.mechanism || null,
        mailFrom: session.envelope.mailFrom ? session.envelope.mailFrom.address : null,
        rcptTo: session.envelope.rcptTo.map((r) => r.address),
        size: raw.length,
    };
    // Written under a temporary name and renamed, so a reader never sees half a message.
    fs.writeFileSync(`${stem}.eml.tmp`, raw);
    fs.writeFileSync(`${stem}.json.tmp`, JSON.stringify(meta));
    fs.renameSync(`${stem}.json.tmp`, `${stem}.json`);
    fs.renameSync(`${stem}.eml.tmp`, `${stem}.eml`);
}

function makeServer(name, options) {
    const server = new SMTPServer({
        name: 'localhost',
        key,
        cert,
        size: 0,
        banner: `parcelvane test server (${name})`,
        logger: false,
        onAuth(auth, session, callback) {
            const ok =
                auth.username === config.user &&
                (auth.method === 'CRAM-MD5'
                    ? auth.validatePassword(config.password)
                    : auth.password === config.password);
            if (!ok) {
                return callback(new Error('Invalid username or password'));
            }
            session.mechanism = auth.method;
            return callback(null, { user: auth.username });
        },
        onMailFrom(address, session, callback) {
            session.localPort = options.port;
            callback();
        },
        onRcptTo(address, session, callback) {
            if (address.address.split('@')[0] === REFUSED_LOCAL_PART) {
                const err = new Error(`Mailbox ${address.address} unavailable`);
                err.responseCode = 550;
                return callback(err);
            }
            return callback();
        },
        onData(stream, session, callback) {
            const chunks = [];
            stream.on('data', (c) => chunks.push(c));
            stream.on('end', () => {
                try {
                    store(session, Buffer.concat(chunks));
                    callback();
                } catch (e) {
                    callback(e);
                }
            });
        },
        ...options.smtp,
    });
    // Clients that drop the connection (the start script's port probe) are no news.
    server.on('error', (e) => {
        if (!/Socket closed unexpectedly|ECONNRESET/.test(e.message)) console.error(`${name}: ${e.message}`);
    });
    return new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(options.port, '127.0.0.1', () => resolve(server));
    });
}

const all = ['PLAIN', 'LOGIN', 'CRAM-MD5'];
const p = config.ports;
Promise.all([
    // Plain text with every mechanism, offered without TLS.
    makeServer('plain', {
        port: p.plain,
        smtp: { authMethods: all, disabledCommands: ['STARTTLS'], allowInsecureAuth: true },
    }),
    // STARTTLS; authentication is refused until TLS is up.
    makeServer('starttls', {
        port: p.starttls,
        smtp: { authMethods: all, allowInsecureAuth: false },
    }),
    // TLS from the first byte.
    makeServer('tls', { port: p.tls, smtp: { secure: true, authMethods: all } }),
    makeServer('loginOnly', {
        port: p.loginOnly,
        smtp: { authMethods: ['LOGIN'], disabledCommands: ['STARTTLS'], allowInsecureAuth: true },
    }),
    makeServer('noAuth', {
        port: p.noAuth,
        smtp: { authOptional: true, disabledCommands: ['AUTH', 'STARTTLS'] },
    }),
    // Offers only a mechanism outside the ones the client knows.
    makeServer('foreignAuth', {
        port: p.foreignAuth,
        smtp: { authMethods: ['XOAUTH2'], disabledCommands: ['STARTTLS'], allowInsecureAuth: true },
    }),
    // TLS with a self-signed certificate that no trust store knows: a client must refuse it.
    makeServer('untrusted', {
        port: p.untrusted,
        smtp: {
            secure: true,
            authMethods: all,
            key: fs.readFileSync(config.untrustedKey),
            cert: fs.readFileSync(config.untrustedCert),
        },
    }),
])
    .then(() => fs.writeFileSync(config.readyFile, String(process.pid)))
    .catch((e) => {
        console.error(`smtp.js: ${e.message}`);
        process.exit(1);
    });

for (const sig of ['SIGTERM', 'SIGINT']) {
    process.on(sig, () => process.exit(0));
}
