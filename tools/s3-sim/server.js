#!/usr/bin/env node
// S3-compatible object store for the Agent's tests: path-style PUT/GET/HEAD/DELETE of whole
// objects in one bucket, every request checked against AWS Signature V4 with the one known
// key pair and refused when its clock is too far from the store's, over HTTP or HTTPS, and an
// unsigned control API under /_sim/ for tests to inspect and script it.
'use strict';

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const https = require('node:https');
const path = require('node:path');
const { SignatureV4 } = require('@smithy/signature-v4');
const { Sha256 } = require('@aws-crypto/sha256-js');

function parseArgs(argv) {
  const options = {
    port: 0,
    host: '127.0.0.1',
    bucket: 'bucket',
    accessKey: 'access-key',
    secretKey: 'secret-key',
    dataDir: '',
    maxSkewS: 900,
    cert: '',
    key: '',
  };
  const names = {
    '--port': 'port',
    '--host': 'host',
    '--bucket': 'bucket',
    '--access-key': 'accessKey',
    '--secret-key': 'secretKey',
    '--data-dir': 'dataDir',
    '--max-skew-s': 'maxSkewS',
    '--cert': 'cert',
    '--key': 'key',
  };
  for (let i = 0; i < argv.length; i++) {
    const name = names[argv[i]];
    if (!name || i + 1 >= argv.length) {
      throw new Error(`unknown option or missing value: ${argv[i]}`);
    }
    options[name] = argv[++i];
  }
  options.port = Number(options.port);
  if (!Number.isInteger(options.port) || options.port < 0 || options.port > 65535) {
    throw new Error('--port must be 0..65535');
  }
  options.maxSkewS = Number(options.maxSkewS);
  if (!Number.isInteger(options.maxSkewS) || options.maxSkewS < 0) {
    throw new Error('--max-skew-s must be a whole number of seconds, 0 or more');
  }
  if (!options.cert !== !options.key) {
    throw new Error('--cert and --key go together');
  }
  return options;
}

function xmlEscape(text) {
  return String(text).replace(/[<>&"']/g, (c) => `&#${c.charCodeAt(0)};`);
}

// details: [name, value] pairs that some errors carry after the message, as a store sends them.
function sendError(res, status, code, message, resource, details = []) {
  const extra = details.map(([name, value]) => `<${name}>${xmlEscape(value)}</${name}>`).join('');
  const body =
    '<?xml version="1.0" encoding="UTF-8"?>\n' +
    `<Error><Code>${xmlEscape(code)}</Code><Message>${xmlEscape(message)}</Message>${extra}` +
    `<Resource>${xmlEscape(resource || '')}</Resource><RequestId>sim</RequestId></Error>`;
  res.writeHead(status, {
    'Content-Type': 'application/xml',
    'Content-Length': Buffer.byteLength(body),
  });
  res.end(res.req.method === 'HEAD' ? undefined : body);
}

function sendJson(res, status, value) {
  const body = JSON.stringify(value);
  res.writeHead(status, {
    'Content-Type': 'application/json',
    'Content-Length': Buffer.byteLength(body),
  });
  res.end(body);
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    req.on('data', (chunk) => chunks.push(chunk));
    req.on('end', () => resolve(Buffer.concat(chunks)));
    req.on('error', reject);
  });
}

// A client that talks through a proxy may send the absolute form "http://host:port/path"; a
// server has to accept it, and the signature covers only the path and query.
function originForm(target) {
  const m = /^https?:\/\/[^/?]*(.*)$/i.exec(target);
  if (!m) return target;
  return m[1].startsWith('/') ? m[1] : `/${m[1]}`;
}

// Splits the raw query without turning "+" into a space: S3 signs the query as sent.
function parseQuery(raw) {
  const query = {};
  if (!raw) return query;
  for (const part of raw.split('&')) {
    if (part === '') continue;
    const eq = part.indexOf('=');
    const name = decodeURIComponent(eq < 0 ? part : part.slice(0, eq));
    const value = eq < 0 ? '' : decodeURIComponent(part.slice(eq + 1));
    if (name in query) {
      query[name] = [].concat(query[name], value);
    } else {
      query[name] = value;
    }
  }
  return query;
}

// S3's URI encoding of one path segment: everything but unreserved ASCII as uppercase %XX.
function s3Encode(text) {
  return encodeURIComponent(text).replace(
    /[!'()*]/g, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
}

// The path a store signs: each segment decoded and encoded again, so a client that sends a
// key in any other form than S3's own encoding fails the signature check, as with a real store.
function canonicalPath(rawPath) {
  return rawPath.split('/').map((segment) => s3Encode(decodeURIComponent(segment))).join('/');
}

// "AWS4-HMAC-SHA256 Credential=AK/20240101/region/s3/aws4_request, SignedHeaders=a;b, Signature=hex"
function parseAuthorization(header) {
  const match = /^AWS4-HMAC-SHA256\s+(.*)$/.exec(header || '');
  if (!match) return null;
  const fields = {};
  for (const item of match[1].split(',')) {
    const eq = item.indexOf('=');
    if (eq > 0) fields[item.slice(0, eq).trim()] = item.slice(eq + 1).trim();
  }
  const scope = (fields.Credential || '').split('/');
  if (scope.length !== 5 || scope[4] !== 'aws4_request' || !fields.SignedHeaders) return null;
  if (!/^[0-9a-f]{64}$/.test(fields.Signature || '')) return null;
  return {
    accessKey: scope[0],
    date: scope[1],
    region: scope[2],
    service: scope[3],
    signedHeaders: fields.SignedHeaders.split(';'),
    signature: fields.Signature,
  };
}

// x-amz-date is "YYYYMMDDTHHMMSSZ".
function parseAmzDate(text) {
  const m = /^(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})Z$/.exec(text || '');
  if (!m) return null;
  return new Date(Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]));
}

// The time a request says it was made: x-amz-date, or the Date header when that is absent.
// Returns the text as sent and its time, which is null when the text cannot be read.
function requestTime(headers) {
  if (headers['x-amz-date'] !== undefined) {
    const sent = String(headers['x-amz-date']);
    return { sent, time: parseAmzDate(sent) };
  }
  const sent = String(headers.date || '');
  const ms = Date.parse(sent);
  return { sent, time: sent && !Number.isNaN(ms) ? new Date(ms) : null };
}

// "2026-12-08T14:00:01Z": ISO-8601 UTC to the second, as a store reports its own clock.
function isoSeconds(date) {
  return date.toISOString().replace(/\.\d{3}Z$/, 'Z');
}

class S3Simulator {
  constructor(options) {
    this.options = options;
    this.objects = new Map();
    this.requests = 0;
    this.rejectedSignatures = 0;
    this.skewRefusals = 0;
    this.fault = null;
    this.sockets = new Set();
    if (options.dataDir) {
      this.bucketDir = path.join(options.dataDir, options.bucket);
      fs.mkdirSync(this.bucketDir, { recursive: true });
      this.loadFromDisk();
    }
  }

  // Files are named by the encoded key, so no key can reach outside the bucket folder.
  fileFor(key) {
    return path.join(this.bucketDir, encodeURIComponent(key).replace(/\./g, '%2E'));
  }

  loadFromDisk() {
    for (const name of fs.readdirSync(this.bucketDir)) {
      try {
        this.store(decodeURIComponent(name), fs.readFileSync(path.join(this.bucketDir, name)));
      } catch (err) {
        process.stderr.write(`skipping ${name}: ${err.message}\n`);
      }
    }
  }

  store(key, body, contentType) {
    this.objects.set(key, {
      body,
      etag: `"${crypto.createHash('md5').update(body).digest('hex')}"`,
      contentType: contentType || 'binary/octet-stream',
      lastModified: new Date(),
    });
  }

  reset() {
    this.objects.clear();
    this.requests = 0;
    this.rejectedSignatures = 0;
    this.skewRefusals = 0;
    this.fault = null;
    if (this.bucketDir) {
      for (const name of fs.readdirSync(this.bucketDir)) {
        fs.rmSync(path.join(this.bucketDir, name), { force: true });
      }
    }
  }

  async handle(req, res) {
    const url = originForm(req.url || '/');
    const q = url.indexOf('?');
    const rawPath = q < 0 ? url : url.slice(0, q);
    const rawQuery = q < 0 ? '' : url.slice(q + 1);
    if (rawPath === '/_sim' || rawPath.startsWith('/_sim/')) {
      return this.handleControl(req, res, rawPath, rawQuery);
    }

    this.requests++;
    if (this.fault && this.fault.down) {
      this.consumeFault();
      req.socket.destroy();
      return;
    }
    // The body is read before any answer so that a rejected upload is not cut off mid-send.
    const body = await readBody(req);
    if (this.fault && this.fault.delayMs) {
      const { delayMs } = this.fault;
      this.consumeFault();
      await new Promise((resolve) => setTimeout(resolve, delayMs));
    } else if (this.fault) {
      const { status, code } = this.fault;
      this.consumeFault();
      return sendError(res, status, code, 'Scripted fault', rawPath);
    }
    if (!(await this.authenticate(req, res, rawPath, rawQuery, body))) return;
    return this.handleObject(req, res, rawPath, body);
  }

  consumeFault() {
    if (this.fault.remaining !== undefined && --this.fault.remaining <= 0) this.fault = null;
  }

  async authenticate(req, res, rawPath, rawQuery, body) {
    const auth = parseAuthorization(req.headers.authorization);
    if (!auth) {
      this.rejectedSignatures++;
      sendError(res, 403, 'AccessDenied', 'Missing or malformed AWS4-HMAC-SHA256 authorization');
      return false;
    }
    if (!this.checkClock(req, res, rawPath)) return false;
    if (auth.accessKey !== this.options.accessKey) {
      this.rejectedSignatures++;
      sendError(res, 403, 'InvalidAccessKeyId',
                'The AWS Access Key Id you provided does not exist in our records.');
      return false;
    }
    const payloadHash = req.headers['x-amz-content-sha256'];
    if (!payloadHash) {
      sendError(res, 400, 'InvalidRequest',
                'Missing required header for this request: x-amz-content-sha256');
      return false;
    }
    if (/^[0-9a-f]{64}$/.test(payloadHash) &&
        crypto.createHash('sha256').update(body).digest('hex') !== payloadHash) {
      sendError(res, 400, 'XAmzContentSHA256Mismatch',
                "The provided 'x-amz-content-sha256' header does not match what was computed.");
      return false;
    }
    const signingDate = parseAmzDate(req.headers['x-amz-date']);
    if (!signingDate || !auth.signedHeaders.includes('host')) {
      this.rejectedSignatures++;
      sendError(res, 403, 'AccessDenied', 'x-amz-date and host must be present and signed');
      return false;
    }

    const headers = {};
    for (const name of auth.signedHeaders) {
      if (req.headers[name] !== undefined) headers[name] = String(req.headers[name]);
    }
    const signed = new Set(auth.signedHeaders);
    if (!signed.has('x-amz-content-sha256')) headers['x-amz-content-sha256'] = payloadHash;
    const signer = new SignatureV4({
      credentials: { accessKeyId: this.options.accessKey, secretAccessKey: this.options.secretKey },
      region: auth.region,
      service: auth.service,
      sha256: Sha256,
      // The path is already in its canonical form; S3 does not encode it a second time.
      uriEscapePath: false,
      applyChecksum: false,
    });
    let expected;
    try {
      const path = canonicalPath(rawPath);
      const request = await signer.sign(
        {
          method: req.method,
          protocol: 'http:',
          hostname: String(req.headers.host || '').replace(/:\d+$/, ''),
          path,
          query: parseQuery(rawQuery),
          headers,
        },
        {
          signingDate,
          signableHeaders: signed,
          unsignableHeaders: signed.has('x-amz-content-sha256')
            ? undefined
            : new Set(['x-amz-content-sha256']),
        });
      expected = parseAuthorization(request.headers.authorization);
    } catch (err) {
      expected = null;
    }
    const matches =
      expected !== null && expected.date === auth.date &&
      expected.signedHeaders.join(';') === auth.signedHeaders.join(';') &&
      crypto.timingSafeEqual(Buffer.from(expected.signature), Buffer.from(auth.signature));
    if (!matches) {
      this.rejectedSignatures++;
      sendError(res, 403, 'SignatureDoesNotMatch',
                'The request signature we calculated does not match the signature you provided.' +
                ' Check your key and signing method.', rawPath);
      return false;
    }
    return true;
  }

  // A store refuses a signed request whose time is too far from its own clock before it
  // reports anything about the signature, so a client with a wrong clock learns that and can
  // correct itself from the ServerTime (or the Date header) of the answer.
  checkClock(req, res, rawPath) {
    const maxSkewMs = this.options.maxSkewS * 1000;
    if (maxSkewMs === 0) return true;
    const { sent, time } = requestTime(req.headers);
    // A missing or unreadable time is the signature check's to refuse.
    if (time === null) return true;
    const now = new Date();
    if (Math.abs(now.getTime() - time.getTime()) <= maxSkewMs) return true;
    this.skewRefusals++;
    sendError(res, 403, 'RequestTimeTooSkewed',
              'The difference between the request time and the current time is too large.',
              rawPath, [
                ['RequestTime', sent],
                ['ServerTime', isoSeconds(now)],
                ['MaxAllowedSkewMilliseconds', maxSkewMs],
              ]);
    return false;
  }

  handleObject(req, res, rawPath, body) {
    const segments = rawPath.split('/').slice(1);
    let bucket;
    let key;
    try {
      bucket = decodeURIComponent(segments[0] || '');
      key = segments.slice(1).map(decodeURIComponent).join('/');
    } catch (err) {
      return sendError(res, 400, 'InvalidURI', 'Could not parse the specified URI.', rawPath);
    }
    if (bucket !== this.options.bucket) {
      return sendError(res, 404, 'NoSuchBucket', 'The specified bucket does not exist', rawPath);
    }
    if (key === '') {
      return sendError(res, 501, 'NotImplemented', 'Only whole-object requests are supported',
                       rawPath);
    }
    const object = this.objects.get(key);
    switch (req.method) {
      case 'PUT':
        this.store(key, body, req.headers['content-type']);
        if (this.bucketDir) fs.writeFileSync(this.fileFor(key), body);
        res.writeHead(200, { ETag: this.objects.get(key).etag, 'Content-Length': 0 });
        return res.end();
      case 'GET':
      case 'HEAD':
        if (!object) {
          return sendError(res, 404, 'NoSuchKey', 'The specified key does not exist.', rawPath);
        }
        res.writeHead(200, {
          'Content-Type': object.contentType,
          'Content-Length': object.body.length,
          ETag: object.etag,
          'Last-Modified': object.lastModified.toUTCString(),
        });
        return res.end(req.method === 'GET' ? object.body : undefined);
      case 'DELETE':
        this.objects.delete(key);
        if (this.bucketDir) fs.rmSync(this.fileFor(key), { force: true });
        res.writeHead(204);
        return res.end();
      default:
        return sendError(res, 405, 'MethodNotAllowed',
                         'The specified method is not allowed against this resource.', rawPath);
    }
  }

  async handleControl(req, res, rawPath, rawQuery) {
    const route = `${req.method} ${rawPath}`;
    const query = parseQuery(rawQuery);
    switch (route) {
      case 'GET /_sim/objects':
        return sendJson(res, 200, {
          bucket: this.options.bucket,
          objects: [...this.objects].map(([key, o]) => ({ key, size: o.body.length, etag: o.etag })),
        });
      case 'GET /_sim/object': {
        const object = this.objects.get(query.key || '');
        if (!object) return sendJson(res, 404, { error: 'no such object' });
        res.writeHead(200, {
          'Content-Type': 'application/octet-stream',
          'Content-Length': object.body.length,
        });
        return res.end(object.body);
      }
      case 'GET /_sim/stats':
        return sendJson(res, 200, {
          requests: this.requests,
          rejectedSignatures: this.rejectedSignatures,
          skewRefusals: this.skewRefusals,
        });
      case 'POST /_sim/fault': {
        let plan;
        try {
          plan = JSON.parse((await readBody(req)).toString('utf8') || '{}');
        } catch (err) {
          return sendJson(res, 400, { error: 'body is not JSON' });
        }
        const count = plan.count === undefined ? undefined : Number(plan.count);
        if (count !== undefined && !(Number.isInteger(count) && count > 0)) {
          return sendJson(res, 400, { error: 'count must be a positive integer' });
        }
        if (plan.clear) {
          this.fault = null;
        } else if (plan.down) {
          this.fault = { down: true, remaining: count };
        } else if (plan.delayMs !== undefined) {
          const delayMs = Number(plan.delayMs);
          if (!Number.isInteger(delayMs) || delayMs <= 0 || delayMs > 600000) {
            return sendJson(res, 400, { error: 'delayMs must be 1..600000' });
          }
          this.fault = { delayMs, remaining: count === undefined ? 1 : count };
        } else {
          const status = Number(plan.status);
          if (!Number.isInteger(status) || status < 100 || status > 599) {
            return sendJson(res, 400, { error: 'status must be an HTTP status' });
          }
          this.fault = {
            status,
            code: String(plan.code || (status >= 500 ? 'InternalError' : 'AccessDenied')),
            remaining: count === undefined ? 1 : count,
          };
        }
        return sendJson(res, 200, { fault: this.fault });
      }
      case 'POST /_sim/reset':
        await readBody(req);
        this.reset();
        return sendJson(res, 200, { reset: true });
      default:
        return sendJson(res, 404, { error: `unknown control route ${route}` });
    }
  }
}

// HTTPS on the same port when a certificate is given, so one simulator serves either kind of
// client; the control API then needs TLS too.
function createServer(options, handler) {
  if (!options.cert) return http.createServer(handler);
  return https.createServer(
    { cert: fs.readFileSync(options.cert), key: fs.readFileSync(options.key) }, handler);
}

// Node's own answer to a request it cannot parse has no Date header; every answer of a store
// does. Other client errors (a failed TLS handshake, say) get no answer, as with node's own
// handler, but a line: a test whose client refuses the certificate wants to know. A client
// that hangs up mid-request is not worth one.
function answerClientError(err, socket) {
  if (err.code !== 'ECONNRESET') process.stderr.write(`client error: ${err.message}\n`);
  if (!String(err.code).startsWith('HPE_') || !socket.writable) return socket.destroy();
  const status = err.code === 'HPE_HEADER_OVERFLOW' ? 431 : 400;
  socket.end(`HTTP/1.1 ${status} ${http.STATUS_CODES[status]}\r\n` +
             `Date: ${new Date().toUTCString()}\r\nContent-Length: 0\r\nConnection: close\r\n\r\n`);
}

function main() {
  let options;
  try {
    options = parseArgs(process.argv.slice(2));
  } catch (err) {
    process.stderr.write(
      `${err.message}\nusage: server.js [--port N] [--host H] [--bucket B] ` +
      '[--access-key K] [--secret-key S] [--data-dir DIR] [--max-skew-s N] ' +
      '[--cert FILE --key FILE]\n');
    process.exit(2);
  }
  const sim = new S3Simulator(options);
  let server;
  try {
    server = createServer(options, (req, res) => {
      sim.handle(req, res).catch((err) => {
        process.stderr.write(`request failed: ${err.stack}\n`);
        if (!res.headersSent) sendError(res, 500, 'InternalError', err.message);
        else res.destroy();
      });
    });
  } catch (err) {
    process.stderr.write(`cannot use the certificate or key: ${err.message}\n`);
    process.exit(2);
  }
  server.on('clientError', answerClientError);
  server.on('connection', (socket) => {
    sim.sockets.add(socket);
    socket.on('close', () => sim.sockets.delete(socket));
  });
  const stop = () => {
    server.close();
    for (const socket of sim.sockets) socket.destroy();
  };
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
  // A test binary that crashes cannot stop its simulator; it goes away with its parent.
  const parent = process.ppid;
  setInterval(() => {
    if (process.ppid !== parent) process.exit(0);
  }, 1000).unref();
  server.listen(options.port, options.host, () => {
    process.stdout.write(`listening on ${server.address().port}\n`);
  });
}

main();
