#include "AV_HAL/Direct3D11/VideoProcessor.h"

#include "AV_HAL/Direct3D11/Formats.h"
#include "AV_HAL/Direct3D11/GraphicsDevice.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace Zarvo::HAL::Direct3D11 {
namespace {

constexpr const char* kFile = "VideoProcessor";

ComPtr<ID3D11Resource> TextureOf(const Surface* surface) {
    ComPtr<ID3D11Resource> texture;
    if (surface && surface->Native())
        surface->Native()->QueryInterface(IID_PPV_ARGS(&texture));
    return texture;
}

} // namespace

VideoProcessor::~VideoProcessor() {
    mProcessor.Reset();
    mEnumerator.Reset();
}

ErrorRecordPtr VideoProcessor::Initialize(GraphicsDevice* device, const VideoDescription& description) {
    if (!device)
        return MakeErrorRecord(kNoVideoDevice, kFile, __LINE__);
    ID3D11VideoDevice* video = device->VideoDevice();
    if (!video) {
        // Wine and some drivers offer no video device: report it instead of calling through null.
        auto log = Log::Get(kFilterLogName, "VideoProcessor::Initialize");
        log << LogLevel::Error << "ID3D11VideoDevice not offered by the device" << Log::EndLine;
        return MakeErrorRecord(kNoVideoDevice, kFile, __LINE__);
    }

    D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
    content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
    content.InputFrameRate = {description.inputRateNumerator, description.inputRateDenominator};
    content.InputWidth = description.inputWidth;
    content.InputHeight = description.inputHeight;
    content.OutputFrameRate = {description.outputRateNumerator, description.outputRateDenominator};
    content.OutputWidth = description.outputWidth;
    content.OutputHeight = description.outputHeight;
    content.Usage = D3D11_VIDEO_USAGE_PLAYBACK_NORMAL;
    HRESULT hr = video->CreateVideoProcessorEnumerator(&content, &mEnumerator);
    if (FAILED(hr) || !mEnumerator)
        return MakeErrorRecord(kCreationFailed, kFile, __LINE__, "0x%08x", static_cast<unsigned>(hr));

    UINT support = 0;
    hr = mEnumerator->CheckVideoProcessorFormat(ToDxgiFormat(description.inputFormat), &support);
    if (FAILED(hr) || !(support & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT))
        return MakeErrorRecord(kInputFormatUnsupported, kFile, __LINE__, "0x%08x", static_cast<unsigned>(hr));
    support = 0;
    hr = mEnumerator->CheckVideoProcessorFormat(ToDxgiFormat(description.outputFormat), &support);
    if (FAILED(hr) || !(support & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT))
        return MakeErrorRecord(kOutputFormatUnsupported, kFile, __LINE__, "0x%08x",
                               static_cast<unsigned>(hr));

    hr = video->CreateVideoProcessor(mEnumerator.Get(), 0, &mProcessor);
    if (FAILED(hr) || !mProcessor)
        return MakeErrorRecord(kCreationFailed, kFile, __LINE__, "0x%08x", static_cast<unsigned>(hr));
    return nullptr;
}

void VideoProcessor::Process(ComPtr<ID3D11VideoDevice> videoDevice, ComPtr<ID3D11VideoContext> videoContext,
                             std::shared_ptr<Surface> source, std::shared_ptr<Surface> destination) {
    if (!videoDevice || !videoContext || !mProcessor || !source || !destination)
        return;
    auto input = TextureOf(source.get());
    auto output = TextureOf(destination.get());
    if (!input || !output)
        return;

    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDesc{};
    inputDesc.FourCC = 0;
    inputDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
    inputDesc.Texture2D = {0, 0};
    ComPtr<ID3D11VideoProcessorInputView> inputView;
    if (FAILED(videoDevice->CreateVideoProcessorInputView(input.Get(), mEnumerator.Get(), &inputDesc,
                                                          &inputView)) ||
        !inputView)
        return;
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc{};
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    outputDesc.Texture2D = {0};
    ComPtr<ID3D11VideoProcessorOutputView> outputView;
    if (FAILED(videoDevice->CreateVideoProcessorOutputView(output.Get(), mEnumerator.Get(), &outputDesc,
                                                           &outputView)) ||
        !outputView)
        return;

    const RECT sourceRect{0, 0, static_cast<LONG>(source->width), static_cast<LONG>(source->height)};
    const RECT destinationRect{0, 0, static_cast<LONG>(destination->width),
                               static_cast<LONG>(destination->height)};

    videoContext->VideoProcessorSetStreamAutoProcessingMode(mProcessor.Get(), 0, TRUE);
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE colourSpace{};
    colourSpace.Usage = 1;        // processing
    colourSpace.RGB_Range = 0;    // 0 to 255
    colourSpace.YCbCr_Matrix = 1; // BT.709
    colourSpace.YCbCr_xvYCC = 0;
    colourSpace.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_0_255;
    videoContext->VideoProcessorSetStreamColorSpace(mProcessor.Get(), 0, &colourSpace);
    videoContext->VideoProcessorSetOutputColorSpace(mProcessor.Get(), &colourSpace);
    videoContext->VideoProcessorSetOutputTargetRect(mProcessor.Get(), TRUE, &destinationRect);
    videoContext->VideoProcessorSetStreamDestRect(mProcessor.Get(), 0, TRUE, &destinationRect);
    videoContext->VideoProcessorSetStreamSourceRect(mProcessor.Get(), 0, TRUE, &sourceRect);

    D3D11_VIDEO_PROCESSOR_STREAM stream{};
    stream.Enable = TRUE;
    stream.OutputIndex = 0;
    stream.InputFrameOrField = 0;
    stream.pInputSurface = inputView.Get();
    videoContext->VideoProcessorBlt(mProcessor.Get(), outputView.Get(), 0, 1, &stream);
}

} // namespace Zarvo::HAL::Direct3D11
