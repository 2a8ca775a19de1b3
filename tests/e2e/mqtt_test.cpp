// The MQTT output against a real broker (Debian's mosquitto, started by the
// tests): what is published and retained, the camera's availability, the
// broker's will, a broker that is down, restarted or refusing, and Home
// Assistant's birth message.
#include "e2e.h"
#include "mqtt_client.h"

#include <signal.h>

#include <algorithm>
#include <regex>

namespace e2e {
namespace {

// A reading's payload: the TCP line's number without trailing zeros, and
// the UTC time of its arrival to the millisecond.
const std::regex kReading(R"(\{"tmp":(-?[0-9]+(\.[0-9]*[1-9])?|null),"time":"20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3}Z"\})");

constexpr Millis kMqttTimeout = 35s;  // the longest retry wait is 30 s

// The program with -m for broker, publishing under base.
std::vector<std::string> program_args(const CameraSim &sim, const std::string &mqtt_url)
{
    return {"-s", sim.url(), "-m", mqtt_url};
}

// A test's own subscriber to everything under base and the discovery prefix.
std::unique_ptr<MqttClient> subscriber(const MqttBroker &broker, const std::string &base,
                                       Retained retained = Retained::as_published)
{
    auto client = std::make_unique<MqttClient>(mqtt_client_options(broker));
    const std::string problem = client->connect(kLineTimeout);
    if (!problem.empty())
        throw std::runtime_error("the test's subscriber cannot connect: " + problem);
    if (!client->subscribe(base + "/#", 1, retained) || !client->subscribe("homeassistant/#", 1, retained))
        throw std::runtime_error("the test's subscriber cannot subscribe");
    return client;
}

std::function<bool(const MqttMessage &)> payload_is(const std::string &payload)
{
    return [payload](const MqttMessage &m) { return m.payload == payload; };
}

// A broker, a camera, the test's subscriber under base, and the program
// publishing there.
struct Publishing {
    explicit Publishing(const std::string &base_topic, const std::vector<std::string> &camera = {})
        : sim(camera),
          base(base_topic),
          live(subscriber(broker, base)),
          program(std::make_unique<Program>(program_args(sim, broker.url() + "/" + base)))
    {
    }

    MqttBroker broker;
    CameraSim sim;
    std::string base;
    std::unique_ptr<MqttClient> live;
    std::unique_ptr<Program> program;
};

std::vector<MqttMessage> on_topic(const MqttClient &client, const std::string &topic, size_t from = 0)
{
    std::vector<MqttMessage> found;
    const std::vector<MqttMessage> all = client.messages();
    for (size_t i = from; i < all.size(); ++i)
        if (all[i].topic == topic)
            found.push_back(all[i]);
    return found;
}

// Over TLS with a password: the broker's certificate and its name checked
// against the test's CA, the login taken. Status, camera and discovery
// retained; one temperature message per reading; status offline, sent
// before the orderly disconnect, when the program stops.
TEST(MqttOutput, PublishesEachReadingOnceWithRetainedStatusCameraAndDiscovery)
{
    MqttBrokerOptions options;
    options.transport = MqttTransport::tls;
    options.require_password = true;
    MqttBroker broker(options);
    CameraSim sim;
    const std::string base = "site/hall";
    auto live = subscriber(broker, base);
    Program program(program_args(sim, "mqtts://" + options.username + ":" + options.password + "@localhost:" +
                                          std::to_string(broker.port()) + "/" + base +
                                          "?cafile=" + broker.ca_file()));
    ASSERT_TRUE(program.wait_for("] MQTT connected to mqtts://localhost:" + std::to_string(broker.port()),
                                 kReadingTimeout))
        << program.out();
    ASSERT_TRUE(live->wait_for_message(base + "/camera", payload_is("online"), kReadingTimeout));
    const size_t counted_from = live->messages().size();
    ASSERT_TRUE(program.wait_for("] Updated temperature: ", kLineTimeout, 5));
    // Readings are published as they come: settle on a reading line, then
    // compare the counts.
    const size_t readings_before = count_of(program.out(), "] Updated temperature: ");
    ASSERT_TRUE(program.wait_for("] Updated temperature: ", kLineTimeout, readings_before + 3));
    const size_t readings = count_of(program.out(), "] Updated temperature: ");
    size_t seen = 0;  // the predicate sees each message once, in order
    ASSERT_TRUE(live->wait_for_message(
        base + "/temperature", [&](const MqttMessage &) { return ++seen + 1 >= readings; }, kLineTimeout));

    // A subscriber that comes later gets the retained state as it stands.
    auto late = subscriber(broker, base, Retained::as_delivered);
    const auto status = late->wait_for_message(base + "/status", kLineTimeout);
    const auto camera = late->wait_for_message(base + "/camera", kLineTimeout);
    const auto config = late->wait_for_message("", [](const MqttMessage &m) {
        return m.topic.rfind("homeassistant/sensor/thermometry_", 0) == 0;
    }, kLineTimeout);
    ASSERT_TRUE(status && camera && config);
    EXPECT_TRUE(status->retained && status->qos == 1 && status->payload == "online");
    EXPECT_TRUE(camera->retained && camera->qos == 1 && camera->payload == "online");
    EXPECT_TRUE(config->retained && config->qos == 1);
    EXPECT_EQ(config->topic.size(), std::string("homeassistant/sensor/thermometry_123456789012/config").size());
    for (const char *field :
         {"\"name\":", "\"unique_id\":\"thermometry_", "\"state_topic\":\"site/hall/temperature\"",
          "\"value_template\":\"{{ value_json.tmp }}\"", "\"device_class\":\"temperature\"",
          "\"unit_of_measurement\":\"\xC2\xB0" "C\"", "\"state_class\":\"measurement\"",
          "\"availability\":[{\"topic\":\"site/hall/status\"},{\"topic\":\"site/hall/camera\"}]",
          "\"availability_mode\":\"all\"", "\"expire_after\":30", "\"device\":{\"identifiers\":[\"thermometry_",
          "\"model\":\"thermometry\"", "\"sw_version\":\"", "\"origin\":{\"name\":\"thermometry\""})
        EXPECT_NE(config->payload.find(field), std::string::npos) << field << " in " << config->payload;

    const size_t before_stop = live->messages().size();
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    ASSERT_TRUE(live->wait_for_message(base + "/status", payload_is("offline"), kLineTimeout, before_stop));
    EXPECT_TRUE(program.wait_for("] MQTT disconnected from mqtts://localhost:" + std::to_string(broker.port()) +
                                 ", status offline\n", kLineTimeout));
    EXPECT_TRUE(shuts_down(program.log(), SIGTERM));
    EXPECT_EQ(count_of(program.out(), options.password), 0u);

    // Each reading once, each with its own arrival time, none repeated.
    const std::vector<MqttMessage> temperatures = on_topic(*live, base + "/temperature", counted_from);
    ASSERT_GE(temperatures.size(), 3u);
    std::vector<std::string> times;
    for (const MqttMessage &m : temperatures) {
        EXPECT_TRUE(std::regex_match(m.payload, kReading)) << m.payload;
        EXPECT_FALSE(m.retained);
        EXPECT_EQ(m.qos, 0);
        times.push_back(m.payload.substr(m.payload.find("\"time\"")));
    }
    EXPECT_TRUE(std::adjacent_find(times.begin(), times.end()) == times.end()) << "a reading came twice";
    EXPECT_LE(temperatures.size(), count_of(program.out(), "] Updated temperature: "));
    EXPECT_EQ(count_prefixed(program.log(), "MQTT broker "), 0u) << program.raw_log();
}

struct Outage {
    const char *name;
    std::vector<std::string> camera;  // the simulator's options
};

class MqttCameraState : public ::testing::TestWithParam<Outage> {};

// The camera frozen (noticed by the link's heartbeat) or gone (the link
// drops): camera goes offline within 15 s and readings stop; when the
// camera is back, online and readings again.
TEST_P(MqttCameraState, GoesOfflineWhileTheCameraIsAwayAndOnlineWhenItIsBack)
{
    Publishing p("cams/outage", GetParam().camera);
    const std::string &base = p.base;
    MqttClient *live = p.live.get();
    Program &program = *p.program;
    // Where a message stands among all received, whatever the test's own
    // pace.
    const auto index_of = [&](const MqttMessage &wanted) {
        const std::vector<MqttMessage> all = live->messages();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].topic == wanted.topic && all[i].payload == wanted.payload && all[i].when == wanted.when)
                return i;
        return all.size();
    };
    // The camera may be offline first, when the broker is there before the
    // first reading (a slow emulator): the outage is the offline after the
    // first online, and ends with the online after it.
    const auto first_online = live->wait_for_message(base + "/camera", payload_is("online"), kReadingTimeout);
    ASSERT_TRUE(first_online) << program.out();
    const auto offline =
        live->wait_for_message(base + "/camera", payload_is("offline"), 30s, index_of(*first_online) + 1);
    ASSERT_TRUE(offline) << program.out();
    const auto online = live->wait_for_message(base + "/camera", payload_is("online"), 40s, index_of(*offline) + 1);
    ASSERT_TRUE(online) << program.out();
    ASSERT_TRUE(live->wait_for_message(base + "/temperature", kLineTimeout, index_of(*online) + 1))
        << "readings did not resume";
    for (const MqttMessage &m : live->messages()) {
        if (m.topic == base + "/temperature") {
            EXPECT_FALSE(m.when > offline->when && m.when < online->when) << "a reading while the camera was offline";
        }
    }
    // The link reported the trouble, or the readings stopped, well within 15 s.
    const std::vector<Line> lines = program.proc().out_lines();
    Clock::time_point last_reading{};
    for (const Line &line : lines)
        if (line.text.find("] Updated temperature: ") != std::string::npos && line.when < offline->when)
            last_reading = line.when;
    EXPECT_LT(offline->when - last_reading, 15s);
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, MqttCameraState,
    ::testing::Values(Outage{"Frozen", {"--freeze-after-seconds", "3", "--freeze-seconds", "14"}},
                      Outage{"Gone", {"--drop-after-records", "3", "--away-seconds", "4"}}),
    [](const ::testing::TestParamInfo<Outage> &info) { return info.param.name; });

// Killed: the broker publishes the will, status offline.
TEST(MqttOutput, KilledProgramLeavesStatusOfflineByItsWill)
{
    Publishing p("cams/killed");
    const std::string &base = p.base;
    MqttClient *live = p.live.get();
    Program &program = *p.program;
    ASSERT_TRUE(live->wait_for_message(base + "/status", payload_is("online"), kReadingTimeout)) << program.out();
    const size_t from = live->messages().size();
    ASSERT_TRUE(program.signal(SIGKILL));
    const Clock::time_point killed = Clock::now();
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::killed_by(SIGKILL));
    const auto will = live->wait_for_message(base + "/status", payload_is("offline"), 50s, from);
    ASSERT_TRUE(will);
    EXPECT_LT(will->when - killed, 45s);
}

// The broker down at start: everything else runs, the TCP clients miss
// nothing, and the output connects once the broker is there; the broker
// restarted later finds everything retained again. The outage is logged when
// it begins and when it ends.
TEST(MqttOutput, BrokerDownAtStartOrRestartedCostsTheTcpClientsNothing)
{
    MqttBroker broker;
    broker.stop();
    CameraSim sim;
    const uint16_t port = free_tcp_port();
    const std::string base = "cams/late";
    Program program({"-s", sim.url(), "-t", std::to_string(port), "-m", broker.url() + "/" + base});
    ASSERT_TRUE(program.wait_until_reading()) << program.out();
    ASSERT_TRUE(program.wait_for("]  Waiting for client connections...\n", kReadingTimeout));
    TcpClient client(port, kLineTimeout);
    const int client_fd_in_log = client_fd(program, client.local_port());
    size_t lines_read = 0;
    const auto read_lines = [&client, &lines_read](int count) {
        for (int i = 0; i < count; ++i, ++lines_read)
            if (!client.read_line(kLineTimeout))
                return false;
        return true;
    };
    ASSERT_TRUE(read_lines(3)) << program.out();
    ASSERT_TRUE(program.wait_for("] MQTT broker " + broker.url() + " not reachable: Connection refused; trying again\n",
                                 kLineTimeout))
        << program.out();

    broker.start();
    ASSERT_TRUE(program.wait_for("] MQTT connected to " + broker.url(), kMqttTimeout)) << program.out();
    ASSERT_TRUE(read_lines(2));
    auto retained = subscriber(broker, base, Retained::as_delivered);
    EXPECT_TRUE(retained->wait_for_message(base + "/camera", payload_is("online"), kLineTimeout));

    broker.restart();
    ASSERT_TRUE(program.wait_for("] MQTT connected to " + broker.url(), kMqttTimeout, 2)) << program.out();
    auto again = subscriber(broker, base, Retained::as_delivered);
    for (const char *topic : {"/status", "/camera"})
        EXPECT_TRUE(again->wait_for_message(base + topic, payload_is("online"), kLineTimeout)) << topic;
    EXPECT_TRUE(again->wait_for_message("", [](const MqttMessage &m) { return m.retained && m.topic.find("/config") != std::string::npos; }, kLineTimeout));
    ASSERT_TRUE(read_lines(2));

    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    // Every line the server sent the TCP client arrived, and none waited.
    while (client.read_line(kLineTimeout))
        ++lines_read;
    EXPECT_TRUE(client.eof());
    const std::vector<std::string> log = program.log();
    EXPECT_EQ(count_prefixed(log, "\xF0\x9F\x93\xA4 Sent temperature to client FD=" +
                                      std::to_string(client_fd_in_log) + ": "),
              lines_read)
        << program.raw_log();
    EXPECT_EQ(count_prefixed(log, " Send buffer full"), 0u);
    EXPECT_EQ(count_prefixed(log, "MQTT broker " + broker.url() + " not reachable"), 1u) << program.raw_log();
    EXPECT_EQ(count_prefixed(log, "MQTT broker " + broker.url() + " lost"), 1u) << program.raw_log();
    EXPECT_EQ(count_prefixed(log, "MQTT connected to " + broker.url()), 2u) << program.raw_log();
}

// Home Assistant's birth message asks for the discovery record again.
TEST(MqttOutput, SendsDiscoveryAgainWhenHomeAssistantComesOnline)
{
    Publishing p("cams/ha");
    MqttClient *live = p.live.get();
    Program &program = *p.program;
    const auto is_config = [](const MqttMessage &m) { return m.topic.find("/config") != std::string::npos; };
    ASSERT_TRUE(live->wait_for_message("", is_config, kReadingTimeout)) << program.out();
    const size_t from = live->messages().size();
    ASSERT_TRUE(live->publish("homeassistant/status", "online", false));
    EXPECT_TRUE(live->wait_for_message("", is_config, 10s, from));
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
}

struct Refusal {
    const char *name;
    MqttBrokerOptions options;
    const char *reason;  // in the program's line
};

class MqttRefused : public ::testing::TestWithParam<Refusal> {};

// A wrong password or a broker whose certificate another CA signed: said
// once, tried again and again, and the program reads and stops as ever.
TEST_P(MqttRefused, IsLoggedOnceAndTriedAgain)
{
    MqttBroker broker(GetParam().options);
    CameraSim sim;
    const std::string url = broker.scheme() + "://thermometry:wrong-password@localhost:" +
                            std::to_string(broker.port()) + "/cams/refused" +
                            (GetParam().options.transport == MqttTransport::tls ? "?cafile=" + broker.other_ca_file() : "");
    Program program(program_args(sim, url));
    ASSERT_TRUE(program.wait_for("] MQTT broker ", kReadingTimeout)) << program.out();
    ASSERT_TRUE(broker.wait_for_log("New connection from", 10s, 3)) << broker.log();
    ASSERT_TRUE(program.wait_for("] Updated temperature: ", kLineTimeout, 5));
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    const std::vector<std::string> log = program.log();
    EXPECT_EQ(count_prefixed(log, "MQTT broker "), 1u) << program.raw_log();
    const size_t at = find_prefixed(log, "MQTT broker ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(log[at].find(GetParam().reason), std::string::npos) << log[at];
    EXPECT_EQ(count_prefixed(log, "MQTT connected"), 0u);
    EXPECT_EQ(count_of(program.out(), "wrong-password"), 0u);
}

MqttBrokerOptions with_password()
{
    MqttBrokerOptions options;
    options.require_password = true;
    return options;
}

MqttBrokerOptions with_tls()
{
    MqttBrokerOptions options;
    options.transport = MqttTransport::tls;
    return options;
}

INSTANTIATE_TEST_SUITE_P(Brokers, MqttRefused,
                         ::testing::Values(Refusal{"WrongPassword", with_password(), "refused the connection: "},
                                           Refusal{"WrongCa", with_tls(), "certificate verify failed"}),
                         [](const ::testing::TestParamInfo<Refusal> &info) { return info.param.name; });

}  // namespace
}  // namespace e2e
