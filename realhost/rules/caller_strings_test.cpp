// A program (or another plugin) that calls DorvelFilter through the host
// with strings of its own, and overwrites and frees them as soon as the call
// returns: the filter's later openings make the call as it was described,
// and its errors name the function.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "counting_source.h"
#include "host_session.h"
#include "tests/support/callers_string.h"

namespace {

class RealHostCallerStrings : public ::testing::Test {
 protected:
  void SetUp() override {
    counting::Reset();
    templateClip = host.Clip(CountingTemplate());
  }

  // DorvelFilter(function, parameters, vi_clip=template), invoked from C++.
  PClip Invoke(const char* function, const AVSValue& parameters) {
    const AVSValue args[3] = {AVSValue(function), parameters, AVSValue(templateClip)};
    const char* const names[3] = {nullptr, "parameters", "vi_clip"};
    return host.env()->Invoke("DorvelFilter", AVSValue(args, 3), names).AsClip();
  }

  HostSession host;
  PClip templateClip;
};

TEST_F(RealHostCallerStrings, TheFirstFrameMakesTheCallAsTheCallerDescribedIt) {
  templateClip = host.Clip(CountingTemplate(40));
  CallersString function("CountingSource"), frames("frames"), pixelType("pixel_type"), i420("I420");
  const AVSValue length[2] = {AVSValue(frames.get()), AVSValue(40)};
  const AVSValue format[2] = {AVSValue(pixelType.get()), AVSValue(i420.get())};
  const AVSValue parameters[3] = {AVSValue(6), AVSValue(length, 2), AVSValue(format, 2)};
  const PClip filter = Invoke(function.get(), AVSValue(parameters, 3));
  for (CallersString* string : {&function, &frames, &pixelType, &i420}) string->Discard();

  const counting::Tag tag = counting::TagOf(filter->GetFrame(2, host.env()));
  EXPECT_EQ(tag.id, 6);
  EXPECT_EQ(tag.frame, 2);
  EXPECT_EQ(counting::Opens(6), 1);
}

TEST_F(RealHostCallerStrings, ErrorsNameTheFunctionTheCallerNamed) {
  CallersString missing("NoSuchFunction"), mistaken("CountingSource"), counting("CountingSource"), width("width");
  const AVSValue one(1), text("not a number");
  EXPECT_EQ(HostErrorOf([&] { Invoke(missing.get(), AVSValue(&one, 1)); }),
            "DorvelFilter: there is no function named \"NoSuchFunction\"");
  const PClip unknown = Invoke(mistaken.get(), AVSValue(&text, 1));
  const AVSValue wider[2] = {AVSValue(width.get()), AVSValue(128)};
  const AVSValue parameters[2] = {AVSValue(7), AVSValue(wider, 2)};
  const PClip refused = Invoke(counting.get(), AVSValue(parameters, 2));
  for (CallersString* string : {&missing, &mistaken, &counting, &width}) string->Discard();

  EXPECT_EQ(HostErrorOf([&] { unknown->GetFrame(0, host.env()); }),
            "DorvelFilter: Invalid arguments to function 'CountingSource' (in CountingSource(\"not a number\"))");
  EXPECT_EQ(HostErrorOf([&] { refused->GetFrame(0, host.env()); }),
            "DorvelFilter: CountingSource made a 128x48 YV12 clip, but the template is 64x48 YV12 "
            "(in CountingSource(7, width=128))");
  EXPECT_EQ(counting::Alive(), 0);
}

}  // namespace
