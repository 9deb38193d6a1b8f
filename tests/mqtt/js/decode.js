#!/usr/bin/env node
// Decodes the payloads the MQTT test saw (one JSON line each: {"topic", "payload" in base64})
// with npm's sparkplug-payload, the decoder SCADA hosts are tested against, and prints a
// count of what it could not read: a metric without a datatype, or decoded as null
// though the gateway did not mark it null.
"use strict";
const fs = require("fs");
const sparkplug = require("sparkplug-payload").get("spBv1.0");
const { Payload } = require("sparkplug-payload/lib/sparkplugPayloadProto").org.eclipse.tahu.protobuf;

const counts = { messages: 0, metrics: 0, nulls: 0, lostValues: 0, untyped: 0 };
const faults = [];

function fault(topic, metric, what) {
  if (faults.length < 10) faults.push(`${topic} ${metric.name ?? "alias " + metric.alias}: ${what}`);
}

for (const line of fs.readFileSync(process.argv[2], "utf8").split("\n")) {
  if (!line) continue;
  const { topic, payload } = JSON.parse(line);
  if (!/\/(DBIRTH|DDATA)\//.test(topic)) continue;
  const bytes = Buffer.from(payload, "base64");
  const raw = Payload.decode(bytes).metrics;
  const decoded = sparkplug.decodePayload(bytes).metrics;
  counts.messages += 1;
  decoded.forEach((metric, i) => {
    counts.metrics += 1;
    if (raw[i].isNull) counts.nulls += 1;
    if (!metric.type) {
      counts.untyped += 1;
      fault(topic, metric, "no datatype");
    }
    if (metric.value === null && !raw[i].isNull) {
      counts.lostValues += 1;
      fault(topic, metric, `decoded as null (${metric.type})`);
    }
  });
}
console.log(JSON.stringify({ ...counts, faults }));
