#!/usr/bin/python3
"""MQTT clients for the gateway's MQTT test, with Debian's paho-mqtt (1.6): independent of the
gateway's own MQTT code. Every wait is bounded; each mode prints one JSON line.

  waitfor PORT TOPIC TEXT SECONDS          first message on TOPIC whose payload holds TEXT
  ask PORT TOPIC PAYLOAD SECONDS           one request (MQTT 5, response topic), its answer
  requests PORT TOPIC COUNT v5|v311 NAME   COUNT requests at QoS 1, a window in flight
"""
import json
import sys
import time

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties


def client(port, name, protocol=mqtt.MQTTv5):
    c = mqtt.Client(client_id=name, protocol=protocol)
    c.connect("127.0.0.1", port, 30)
    return c


def run_until(c, done, seconds):
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        c.loop(0.05)


def waitfor(port, topic, text, seconds):
    got = []
    c = client(port, "waitfor-%d" % time.monotonic_ns())
    c.on_message = lambda c, u, m: got.append(m) if text in m.payload.decode() else None
    c.subscribe(topic, 1)
    run_until(c, lambda: got, float(seconds))
    if got:
        print(json.dumps({"topic": got[0].topic, "payload": got[0].payload.decode(),
                          "retain": bool(got[0].retain)}))
    else:
        print(json.dumps({"timeout": True}))
    return 0 if got else 1


def ask(port, topic, payload, seconds):
    got = []
    c = client(port, "ask-%d" % time.monotonic_ns())
    c.on_message = lambda c, u, m: got.append(m)
    c.subscribe("test/answer/ask", 1)
    run_until(c, lambda: False, 0.2)  # the subscription in place
    props = Properties(PacketTypes.PUBLISH)
    props.ResponseTopic = "test/answer/ask"
    props.CorrelationData = b"one"
    c.publish(topic, payload, qos=1, properties=props)
    run_until(c, lambda: got, float(seconds))
    if not got:
        print(json.dumps({"timeout": True}))
        return 1
    body = json.loads(got[0].payload)
    body["correlation"] = got[0].properties.CorrelationData.decode()
    print(json.dumps(body))
    return 0


def requests(port, topic, count, style, name):
    count = int(count)
    v5 = style == "v5"
    answers = {}
    wrong = []
    reply_topic = "test/answer/" + name
    c = client(port, name, mqtt.MQTTv5 if v5 else mqtt.MQTTv311)

    def on_message(c, u, m):
        body = json.loads(m.payload)
        key = int(m.properties.CorrelationData) if v5 else body.get("id")
        answers[key] = answers.get(key, 0) + 1
        if body.get("outcome") != 0 or body["reply"]["data"]["uint"] != (key or 0) + base:
            wrong.append(body)

    base = sum(name.encode()) << 16
    c.on_message = on_message
    c.subscribe(reply_topic, 1)
    run_until(c, lambda: False, 0.2)
    sent = 0
    deadline = time.monotonic() + 50
    while len(answers) < count and time.monotonic() < deadline:
        while sent < count and sent - len(answers) < 32:
            # Generous time-outs: a loaded machine is no fault of the gateway.
            body = {"dest": 1, "code": 3, "uint": base + sent,
                    "write_timeout_ms": 2000, "reply_timeout_ms": 2000}
            if v5:
                props = Properties(PacketTypes.PUBLISH)
                props.ResponseTopic = reply_topic
                props.CorrelationData = str(sent).encode()
                c.publish(topic, json.dumps(body), qos=1, properties=props)
            else:
                body.update({"id": sent, "reply_to": reply_topic})
                c.publish(topic, json.dumps(body), qos=1)
            sent += 1
        c.loop(0.05)
    run_until(c, lambda: False, 0.5)  # anything answered twice comes now
    print(json.dumps({"answered": len(answers), "twice": sum(1 for n in answers.values() if n > 1),
                      "wrong": len(wrong), "first_wrong": wrong[:1]}))
    return 0


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    sys.exit({"waitfor": waitfor, "ask": ask, "requests": requests}[mode](int(args[0]), *args[1:]))
