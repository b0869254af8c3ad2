// The S3 test server: s3rver on 127.0.0.1 with one account whose secret
// carries "/" and "+", and the test buckets created at start.
// Usage: node s3.js CONFIG.json; writes its PID into the config's readyFile.
'use strict';

const fs = require('fs');
const S3rver = require('s3rver');
const AWSAccount = require('s3rver/lib/models/account');

const config = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));

// Only our key pair may sign: the built-in one would let a wrong client pass.
AWSAccount.DUMMY_ACCOUNT.revokeAccessKey('S3RVER');
AWSAccount.DUMMY_ACCOUNT.createKeyPair(config.accessKey, config.secret);

const server = new S3rver({
  address: '127.0.0.1',
  port: config.port,
  silent: false,
  serviceEndpoint: config.serviceEndpoint,
  directory: config.directory,
  configureBuckets: config.buckets.map(name => ({ name, configs: [] })),
});

server.run().then(
  () => fs.writeFileSync(config.readyFile, String(process.pid)),
  err => {
    console.error(err);
    process.exit(1);
  },
);
for (const sig of ['SIGTERM', 'SIGINT']) {
  process.on(sig, () => server.close().finally(() => process.exit(0)));
}
