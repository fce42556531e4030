// The controller's replies: what each one changes, the status frame's powers,
// SWR, temperatures and fault bits, the choice of the next command, and the
// status text sent to a remote peer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "controller/link.h"
#include "controller/temperature.h"
#include "errors/errors.h"
#include "support/link_driver.h"
#include "support/temp_root.h"

using ::testing::HasSubstr;

namespace {

// Not a command: the next command is chosen by the reply.
constexpr int kNoneChosen = -1;

// Decodes one reply as the link hands it over (check digits in front).
int decode(Works *works, const std::string &reply) {
  std::string wire = "00" + reply;
  return TakeLinearReply(works, wire.c_str() + 2, static_cast<int>(wire.size()));
}

struct Decoder : ::testing::Test {
  TestWorks w;
  std::string err;
  void SetUp() override {
    linearProcessStatus = kNoneChosen;
    w->lastCmdId = LP_SA;
    w->lastCmdChars[0] = 'S';
    w->lastCmdChars[1] = 'A';
    w->cpPending = 0;  // the start-up acknowledgement is in: errors are listed
  }
  int run(const std::string &reply) {
    testing::internal::CaptureStderr();
    int pause = decode(w.get(), reply);
    err = testing::internal::GetCapturedStderr();
    return pause;
  }
  // One config row holding the working frequency, so powers are K x reading^2
  // with chosen coefficients.
  ConfigRow rows[2] = {};
  void coefficients(float kFwd, float kRefl, float kPwin, float kReflFwd) {
    rows[0].fmin = 1000000;
    rows[0].kFwd = kFwd;
    rows[0].kRefl = kRefl;
    rows[0].kPwin = kPwin;
    rows[0].kReflFwd = kReflFwd;
    rows[1].fmin = 60000000;
    w->tabConfig = rows;
    w->numConfigRows = 2;
  }
  void TearDown() override { w->tabConfig = nullptr; }
};

TEST_F(Decoder, OrdinaryRepliesStoreTheirValueAndReturnToTheStatusPoll) {
  EXPECT_EQ(run("VSM1.07sim;"), 20);
  EXPECT_EQ(w->microVersion.str(), "1.07sim");
  EXPECT_EQ(linearProcessStatus, LP_ST);

  run("TU1;");
  EXPECT_EQ(w->tuState, 1);
  run("SA2;");
  EXPECT_EQ(w->antenna, 1);
  run("SA7;");
  EXPECT_EQ(w->antenna, 1) << "no antenna 7: the value stays";
  run("FM000014250000;");
  EXPECT_EQ(w->freqMeasured, 14250000);
  run("FM000000000000;");
  EXPECT_EQ(w->freqMeasured, 14250000) << "a zero reading keeps the last frequency";
  run("FM099999999999;");
  EXPECT_EQ(w->freqMeasured, 14250000) << "beyond the field's range: kept";
  w->cpPending = 3;
  run("CPFFFF;");
  EXPECT_EQ(w->cpPending, 2);

  run("AB1;");
  EXPECT_EQ(w->ampBypass, 1);
  EXPECT_THAT(err, HasSubstr(">> ByPass Ampl: AB1;\n"));
  run("AB0;");
  EXPECT_EQ(w->ampBypass, 0);

  w->tuneCarrierFlags = 0x10;
  run("AN1;");
  EXPECT_EQ(w->anSel, 1);
  EXPECT_EQ(w->tuneCarrierFlags, 0x30);

  for (const char *r :
       {"FA00014070000;", "MT100010000;", "FS00001;", "AT10;", "MP0;", "TS4095409515003700;"}) {
    linearProcessStatus = kNoneChosen;
    w->retryCount = 2;
    EXPECT_EQ(run(r), 20) << r;
    EXPECT_EQ(linearProcessStatus, LP_ST) << r;
    EXPECT_EQ(w->retryCount, 0) << r;
  }

  run("FN1100;");
  EXPECT_THAT(err, HasSubstr("Ventola: FN1100;\n"));
  run("PS0001100000000000;");
  EXPECT_THAT(err, HasSubstr("Protezioni automatiche setted : PS0001100000000000;\n"));
  run("SF30000a5;");
  EXPECT_THAT(err, HasSubstr("Pilotaggio Relè : SF30000a5;\n"));
  run("SE58027;");
  EXPECT_THAT(err, HasSubstr("SERVICE ATTIVO!! : SE58027;\n"));
  run("GM00020100;");
  EXPECT_THAT(err, HasSubstr("Impostazioni Generic mode : GM00020100;\n"));

  run("MR1;");
  EXPECT_EQ(w->microResetSeen, 0);
  run("MR0;");
  EXPECT_EQ(w->microResetSeen, 1);
  EXPECT_THAT(err, HasSubstr("RESET MICRO: MR0;\n"));
  EXPECT_THAT(err, HasSubstr("RESET MICRO ----------------------------------  1\n"));
}

TEST_F(Decoder, GeneralSettingsAndDataPages) {
  run("GS0100000000;");
  EXPECT_EQ(w->genSettings.str(), "0100000000");
  EXPECT_THAT(err, HasSubstr("Impostazioni Generali : 0100000000 (GS0100000000;)\n"));
  run("GS012;");
  EXPECT_EQ(w->genSettings.str(), "012");
  EXPECT_THAT(err, HasSubstr("ERRORE!! Impostazioni Generali\n"));
  run("GS0123456789ABC;");
  EXPECT_EQ(w->genSettings.str(), "0123456789") << "ten characters at most";

  std::string page = "ER0000";
  const char text[] = "OMBRIX SIM CONTROLLER 1.0 ......";
  char hex[3];
  for (int i = 0; i < 32; ++i) {
    snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(text[i]));
    page += hex;
  }
  run(page + ";");
  EXPECT_EQ(w->eePage0.str(), text);
  EXPECT_THAT(err, HasSubstr(std::string("EE0:") + text + "\n"));
  run("ER00014F4D;");
  EXPECT_EQ(w->eePage1.str(), "OM") << "a short page keeps what it carries";
  run("ER00014F4ZZZ;");
  EXPECT_EQ(w->eePage1.str(), "O") << "reading stops at the first pair that is not hex";

  EXPECT_EQ(w->powerClass, 255);
  run("ER00023031;");
  EXPECT_EQ(w->eeModel, '0');
  EXPECT_EQ(w->powerClass, '1');
  EXPECT_EQ(number_ofStep_meter_FWD, 120);
  EXPECT_THAT(err, HasSubstr("EE2: 30 31\n"));
  run("ER00023030;");
  EXPECT_EQ(number_ofStep_meter_FWD, 60);
}

TEST_F(Decoder, RejectedUnknownAndShortRepliesGoToTheRetry) {
  for (const char *r : {"SA?;", "ST!;", "FM&;"}) {
    linearProcessStatus = kNoneChosen;
    w->retryCount = 0;
    EXPECT_EQ(run(r), 20);
    EXPECT_EQ(linearProcessStatus, LP_SA) << r;
    EXPECT_EQ(w->retryCount, 1) << r;
    EXPECT_THAT(err, HasSubstr(std::string("CMD Errato:") + r + "\n"));
  }
  for (const char *r : {"QQ1;", "S;", ";", ""}) {
    linearProcessStatus = kNoneChosen;
    w->retryCount = 0;
    run(r);
    EXPECT_EQ(linearProcessStatus, LP_SA) << "'" << r << "'";
    EXPECT_THAT(err, HasSubstr("cmd non riconosciuto:"));
  }
  // A count below 3 is short whatever the text says.
  linearProcessStatus = kNoneChosen;
  testing::internal::CaptureStderr();
  TakeLinearReply(w.get(), "ST0;", 2);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(linearProcessStatus, LP_SA);
}

TEST_F(Decoder, StatusPowersAndSwr) {
  coefficients(1.0f, 1.0f, 0.5f, 0.0f);
  EXPECT_EQ(run(StatusFrame(0, 1, 4, 10, 2, 1234)), 10);
  EXPECT_EQ(w->rawPw, 4);
  EXPECT_EQ(w->rawFwd, 10);
  EXPECT_EQ(w->rawRefl, 2);
  EXPECT_FLOAT_EQ(w->pwIn, 8.0f);
  EXPECT_FLOAT_EQ(w->pwFwd, 100.0f);
  EXPECT_FLOAT_EQ(w->pwRefl, 4.0f);
  EXPECT_NEAR(w->swr, 1.5f, 1e-5);
  EXPECT_FLOAT_EQ(w->iAdc, 1234.0f);

  run(StatusFrame());
  EXPECT_EQ(w->swr, 0.0f) << "no power, no SWR";

  coefficients(0.2f, 0.6f, 0.0f, 0.0f);
  run(StatusFrame(0, 0, 0, 1, 1));
  EXPECT_EQ(w->swr, 100.0f) << "0.2 W forward with 0.6 W reflected";

  coefficients(1.0f, 1.0f, 0.0f, 0.0f);
  run(StatusFrame(0, 0, 0, 3, 4));
  EXPECT_EQ(w->swr, 100.0f) << "more reflected than forward";
  run(StatusFrame(0, 0, 0, 3, 3));
  EXPECT_EQ(w->swr, 100.0f) << "all reflected";

  // The directivity correction never makes the reflected power negative.
  coefficients(1.0f, 1.0f, 0.0f, -0.5f);
  run(StatusFrame(0, 0, 0, 10, 1));
  EXPECT_EQ(w->pwRefl, 0.0f);
  EXPECT_EQ(w->swr, 1.0f);

  // Without a threshold table the fixed coefficients apply.
  w->tabConfig = nullptr;
  w->numConfigRows = 0;
  run(StatusFrame(0, 0, 100, 1000, 1000));
  EXPECT_FLOAT_EQ(w->pwFwd, 5.156579e-6f * 1000 * 1000);
  EXPECT_FLOAT_EQ(w->pwIn, 5.5078103e-6f * 100 * 100);
  EXPECT_FLOAT_EQ(w->pwRefl, 3.3262754e-6f * 1000 * 1000 - 0.007f * w->pwFwd);
}

TEST_F(Decoder, StatusTemperaturesAreSmoothedAfterTheFirstFrame) {
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 1500));
  float t1 = CalcolaTemp(2048), t2 = CalcolaTemp(1500);
  EXPECT_FLOAT_EQ(w->temp1, t1);
  EXPECT_FLOAT_EQ(w->temp2, t2);
  run(StatusFrame(0, 0, 0, 0, 0, 0, 1000, 3000));
  EXPECT_FLOAT_EQ(w->temp1, (t1 * 9 + CalcolaTemp(1000)) / 10);
  EXPECT_FLOAT_EQ(w->temp2, (t2 * 9 + CalcolaTemp(3000)) / 10);
}

TEST_F(Decoder, StatusAsksToDeleteTheTemperatureLogOnlyWhileLogging) {
  TempRoot root;
  root.writeFile("/opt/set/LOGtemp.txt", "old\n");
  w->enableLogTemp = 0;
  run(StatusFrame(0, 1));
  EXPECT_EQ(w->logRemoved, 0);
  EXPECT_EQ(root.readFile("/opt/set/LOGtemp.txt"), "old\n");
  w->enableLogTemp = 1;
  run(StatusFrame(0, 1));
  EXPECT_EQ(w->logRemoved, 1);
  EXPECT_NE(root.readFile("/opt/set/LOGtemp.txt"), "old\n");
}

TEST_F(Decoder, StatusFaultBitsRaiseAndClearErrors) {
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x03));
  EXPECT_EQ(w->stErr[2], 0x03);
  EXPECT_EQ(ExistError(w.get(), ERR_AMP_FAULT), 1);
  EXPECT_EQ(w->errCause.str(), "REFL");
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x10));
  EXPECT_EQ(w->errCause.str(), "FILTER TX");

  w->errorFlags = 0x07;
  run(StatusFrame());
  EXPECT_EQ(ExistError(w.get(), ERR_AMP_FAULT), 0);
  EXPECT_EQ(w->errorFlags, 0x04) << "reset done: bits 0 and 1 cleared";

  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x41));
  EXPECT_EQ(ExistError(w.get(), ERR_BAND_STBY), 1);
  EXPECT_EQ(ExistError(w.get(), ERR_AMP_FAULT), 0) << "band change in standby wins";

  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x80));
  EXPECT_EQ(ExistError(w.get(), ERR_MICRO_RESET), 0) << "no reset seen yet";
  w->microResetSeen = 1;
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x80));
  EXPECT_EQ(ExistError(w.get(), ERR_MICRO_RESET), 1);

  w->anSel = 0;
  linearProcessStatus = kNoneChosen;
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x20));
  EXPECT_EQ(ExistError(w.get(), ERR_PWR_IN), 0) << "only with the tuner's antenna selection";
  w->anSel = 1;
  w->autoTuneState = 1;
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x20));
  EXPECT_EQ(ExistError(w.get(), ERR_PWR_IN), 0) << "not while tuning";
  w->autoTuneState = 0;
  linearProcessStatus = kNoneChosen;
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0x20));
  EXPECT_EQ(ExistError(w.get(), ERR_PWR_IN), 1);

  run(StatusFrame(0, 2));
  EXPECT_EQ(ExistError(w.get(), ERR_HI_SWR), 1);
  w->errorFlags = 0x03;
  run(StatusFrame(0, 4));
  EXPECT_EQ(ExistError(w.get(), ERR_HI_SWR), 0);
  EXPECT_EQ(w->errorFlags, 0x00);
}

TEST_F(Decoder, StatusBypassAndStateFollowedAfterCommunicationLoss) {
  w->ampBypass = 0;
  w->ampBypassReq = 1;
  run(StatusFrame(0, 8));
  EXPECT_EQ(w->ampBypass, 1);
  EXPECT_THAT(err, HasSubstr("--------------- AMPL ERRORE : bypass on "));
  w->ampBypassReq = 0;
  run(StatusFrame(0, 0));
  EXPECT_EQ(w->ampBypass, 0);
  EXPECT_THAT(err, HasSubstr("--------------- AMPL ERRORE : bypass off "));
  // Bypass on as asked and reported: stays on without a request pending.
  w->ampBypass = 1;
  run(StatusFrame(0, 8));
  EXPECT_EQ(w->ampBypass, 1);
  w->ampBypass = 0;

  // Pads reported by the controller are not taken over normally...
  run(StatusFrame(0xC, 0));
  EXPECT_EQ(w->attenuator, 0);
  // ...but are while the link has lost the controller (error 4).
  AddErrore(w.get(), ERR_COMM);
  w->ampBypassReq = 1;
  run(StatusFrame(0xC, 8));
  EXPECT_EQ(w->attenuator, 3);
  EXPECT_EQ(w->attenuatorSel, 3);
  EXPECT_EQ(w->ampBypass, 1);
  EXPECT_THAT(err, HasSubstr("STATE DA ERRORE : attenuatore 3dB=on 2dB=on\n"));
  run(StatusFrame(0x8, 8));
  EXPECT_EQ(w->attenuator, 2);
  run(StatusFrame(0x4, 8));
  EXPECT_EQ(w->attenuator, 1);
  run(StatusFrame(0x0, 8));
  EXPECT_EQ(w->attenuator, 0);
  EXPECT_THAT(err, HasSubstr("STATE DA ERRORE : attenuatore 3dB=off 2dB=off\n"));
  run(StatusFrame(0x0, 0));
  EXPECT_EQ(w->ampBypass, 0) << "the controller's bypass off is followed too";
}

TEST_F(Decoder, StatusPeakPowerAndNextCommand) {
  coefficients(1.0f, 1.0f, 1.0f, 0.0f);
  w->enablePwrPeak = 1;
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0, 8));
  EXPECT_FLOAT_EQ(w->pwFwdPeak, 64.0f);
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0, 9));
  EXPECT_FLOAT_EQ(w->pwFwdPeak, 70.0f);
  w->powerClass = '1';
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0, 20));
  EXPECT_FLOAT_EQ(w->pwFwdPeak, 130.0f);
  w->enablePwrPeak = 0;
  run(StatusFrame(0, 0, 0, 0, 0, 0, 2048, 2048, 0, 5));
  EXPECT_FLOAT_EQ(w->pwFwdPeak, 130.0f) << "no peak field read when it is off";

  w->retryCount = 2;
  EXPECT_EQ(run(StatusFrame()), 10);
  EXPECT_EQ(linearProcessStatus, LP_FM);
  EXPECT_EQ(w->retryCount, 0);
  IncPNTIn_CMDLinear(LP_TS, w.get());
  run(StatusFrame());
  EXPECT_EQ(linearProcessStatus, LP_TS);
  EXPECT_EQ(PendingCmdLinear(w.get()), 0);

  w->autoTuneState = 1;
  run(StatusFrame());
  EXPECT_EQ(linearProcessStatus, LP_MT1);
  w->autoTuneState = 2;
  run(StatusFrame());
  EXPECT_EQ(linearProcessStatus, LP_CP);
  EXPECT_EQ(w->autoTuneState, 1);
  w->autoTuneState = 3;
  run(StatusFrame());
  EXPECT_EQ(linearProcessStatus, LP_ST);
  EXPECT_EQ(w->autoTuneState, 1);
}

TEST_F(Decoder, MalformedStatusFramesChangeNothing) {
  run(StatusFrame(0, 0, 0, 100));
  ASSERT_EQ(w->rawFwd, 100);
  std::string good = StatusFrame(0, 0, 0, 200);
  std::string shortFrame = good.substr(0, 29) + ";";
  std::string badState = good, badReading = good, badFault = good;
  badState[2] = 'G';
  badReading[9] = 'x';
  badFault[29] = ';';
  for (const std::string &bad : {shortFrame, badState, badReading, badFault}) {
    linearProcessStatus = kNoneChosen;
    w->retryCount = 0;
    run(bad);
    EXPECT_EQ(w->rawFwd, 100) << bad;
    EXPECT_EQ(linearProcessStatus, LP_SA) << bad;
  }
}

TEST(StatusText, EveryFieldAtItsPlace) {
  TestWorks w;
  w->cpPending = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(w->tablesMutex);
    snprintf(w->tabAntenna[0].name, sizeof w->tabAntenna[0].name, "160m");
    w->tabAntenna[0].fmin = 1800000;
    w->tabAntenna[0].fmax = 2000000;
    snprintf(w->tabAntenna[1].name, sizeof w->tabAntenna[1].name, "20mLONG");
    w->tabAntenna[1].fmin = 14000000;
    w->tabAntenna[1].fmax = 14350000;
    w->numBands = 2;
  }
  w->frequency = 14070000;
  w->modeWorkIdx = 2;
  w->attenuator = 3;
  w->antenna = 1;
  w->ampBypass = 1;
  w->tuneEnabled = 0;
  w->atuBypass = 1;
  w->autoTuneState = 1;
  w->swr = 1.5f;
  w->pwFwd = 1234.5f;
  w->pwIn = 5.25f;
  w->temp1 = 31.24f;
  w->temp2 = 42.56f;
  w->panelVampAdc = 255;
  w->powerClass = 0;
  w->iAdc = 2048.0f;
  w->numBanco = 3;
  char out[64];
  memset(out, 'Z', sizeof out);
  CreaBufferDiStato(w.get(), out);
  std::string s(out);
  ASSERT_EQ(s.size(), 52u);
  EXPECT_EQ(s.substr(0, 4), "20mL");
  EXPECT_EQ(s[4], '2');
  EXPECT_EQ(s[5], '3');
  EXPECT_EQ(s[6], '1');
  EXPECT_EQ(s[7], '1');
  EXPECT_EQ(s[8], 'B');
  EXPECT_EQ(s[9], '1');
  EXPECT_EQ(s.substr(10, 6), "001.50");
  EXPECT_EQ(s.substr(16, 6), "1234.5") << "a longer print is cut by the next field";
  EXPECT_EQ(s.substr(22, 6), "005.25");
  EXPECT_EQ(s.substr(28, 4), "42.6");
  EXPECT_EQ(s.substr(32, 4), "21.6") << "255 x 3.3 x 118 / 255 / 18";
  EXPECT_EQ(s.substr(36, 4), "07.0");
  EXPECT_EQ(s.substr(40, 2), "03");
  EXPECT_EQ(s[42], '0');
  EXPECT_EQ(s.substr(43, 8), "00000000");
  EXPECT_EQ(s[51], ';');

  w->frequency = 7000000;
  w->modeWorkIdx = 0;
  w->tuneEnabled = -1;
  w->ampBypass = 0;
  w->autoTuneState = 0;
  AddErrore(w.get(), ERR_HI_SWR);
  AddErrore(w.get(), ERR_COMM);
  CreaBufferDiStato(w.get(), out);
  s = out;
  EXPECT_EQ(s.substr(0, 4), "----");
  EXPECT_EQ(s[4], '0');
  EXPECT_EQ(s[7], '0');
  EXPECT_EQ(s[8], 'N');
  EXPECT_EQ(s[9], '0');
  EXPECT_EQ(s[42], static_cast<char>(ERR_COMM + 1)) << "newest error code + 1";
  w->tuneEnabled = 0;
  w->atuBypass = 0;
  w->frequency = 1800000;
  CreaBufferDiStato(w.get(), out);
  EXPECT_EQ(std::string(out).substr(0, 4), "160m");
  EXPECT_EQ(out[8], 'T');
  // Hamlib goes to the peer as Generic, which a peer of three modes knows.
  w->modeWorkIdx = 3;
  CreaBufferDiStato(w.get(), out);
  EXPECT_EQ(out[4], '0');
}

TEST(StatusText, SupplyVoltageAndHexDigits) {
  TestWorks w;
  w->powerClass = '1';
  EXPECT_NEAR(CalvTensVadcAmp(w.get(), 255), 3.3 * 348 / 18, 1e-3);
  EXPECT_NEAR(CalvTensVadcAmp(w.get(), 0x1FF), 3.3 * 348 / 18, 1e-3) << "low byte only";
  w->powerClass = 0;
  EXPECT_NEAR(CalvTensVadcAmp(w.get(), 51), 51 * 3.3 * 118 / 255 / 18, 1e-4);
  EXPECT_EQ(charToInt('0'), 0);
  EXPECT_EQ(charToInt('9'), 9);
  EXPECT_EQ(charToInt('A'), 10);
  EXPECT_EQ(charToInt('f'), 15);
  EXPECT_EQ(charToInt('g'), -1);
  EXPECT_EQ(charToInt(';'), -1);
}

}  // namespace
